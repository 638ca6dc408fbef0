# find_package(Quenthaloy CONFIG): imported targets
#   Linux:   Quenthaloy::quenthaloy     (libquenthaloy.so)
#   Windows: Quenthaloy::Quenthaloy     (Quenthaloy.dll, stdcall)
#            Quenthaloy::QuenthaloyC    (QuenthaloyC.dll, cdecl; defines QUENTHALOY_CDECL for its users)
include("${CMAKE_CURRENT_LIST_DIR}/QuenthaloyTargets.cmake")
