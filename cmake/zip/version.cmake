# Writes the zip's QuenthaloyConfigVersion.cmake: any pointer size, since
# the zip holds both (its QuenthaloyConfig.cmake picks the directory).
#   cmake -DOUTPUT=<file> -DVERSION=<x.y.z> -P cmake/zip/version.cmake
include(CMakePackageConfigHelpers)
write_basic_package_version_file(${OUTPUT} VERSION ${VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
