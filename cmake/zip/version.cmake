# Writes the zip's QuenthaloyConfigVersion.cmake: any pointer size, since
# the zip holds both (its QuenthaloyConfig.cmake picks the directory).
#   cmake -DOUTPUT=<file> -DVERSION=<x.y.z> -P cmake/zip/version.cmake
include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/../version-rule.cmake)
quenthaloy_version_rule(${VERSION})
write_basic_package_version_file(${OUTPUT} VERSION ${VERSION} COMPATIBILITY ${QUENTHALOY_COMPATIBILITY}
                                 ARCH_INDEPENDENT)
