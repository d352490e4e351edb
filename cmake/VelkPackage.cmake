# The installable velk package: `find_package(velk)` gives velk::log, velk::exchange,
# velk::compiler, velk::io and velk::views (static libraries with their headers) and installs velkc.
# The libraries register themselves in the export set velkTargets (velk_library).
include(CMakePackageConfigHelpers)

set(VELK_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velk)

install(EXPORT velkTargets NAMESPACE velk:: DESTINATION ${VELK_PACKAGE_DIR} FILE velkTargets.cmake)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/velkConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/velkConfig.cmake INSTALL_DESTINATION ${VELK_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/velkConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velkConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/velkConfigVersion.cmake
        DESTINATION ${VELK_PACKAGE_DIR})
install(TARGETS velkc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The package test: install into a staging prefix inside the build folder, then configure,
# build and run tests/consumer against it.
if(VELK_BUILD_TESTS)
  add_test(NAME velk_package_consumer
           COMMAND ${CMAKE_COMMAND} -DVELK_BUILD_DIR=${CMAKE_BINARY_DIR}
                   -DVELK_STAGING_DIR=${CMAKE_BINARY_DIR}/package-test/prefix
                   -DCONSUMER_SOURCE_DIR=${PROJECT_SOURCE_DIR}/tests/consumer
                   -DCONSUMER_BUILD_DIR=${CMAKE_BINARY_DIR}/package-test/consumer
                   -DCONSUMER_GENERATOR=${CMAKE_GENERATOR} -DCONSUMER_CXX_COMPILER=${CMAKE_CXX_COMPILER}
                   -P ${PROJECT_SOURCE_DIR}/tests/consumer/build_consumer.cmake)
endif()
