# Compile options shared by every Velk target, and helpers that keep the per-library
# CMakeLists files short. Sources and tests are globbed per folder, so adding a file
# to src/ or tests/ needs no edit here.

include(GNUInstallDirs)

set(VELK_WARNINGS
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
    -Wnull-dereference -Wdouble-promotion -Wimplicit-fallthrough)

# The sanitizers of every target, from VELK_SANITIZE: AddressSanitizer with
# UndefinedBehaviorSanitizer, or ThreadSanitizer, which cannot share a program with
# AddressSanitizer. ON (or YES, TRUE, Y, 1) is the older spelling of address,undefined.
string(TOUPPER "${VELK_SANITIZE}" velk_sanitize_word)
if(velk_sanitize_word MATCHES "^(ON|YES|TRUE|Y|1)$")
  set(VELK_SANITIZERS address,undefined)
elseif(velk_sanitize_word MATCHES "^(OFF|NO|FALSE|N|0|)$")
  set(VELK_SANITIZERS "")
elseif(VELK_SANITIZE STREQUAL "address,undefined" OR VELK_SANITIZE STREQUAL "thread")
  set(VELK_SANITIZERS ${VELK_SANITIZE})
else()
  message(FATAL_ERROR "VELK_SANITIZE must be OFF, address,undefined (or ON) or thread, found \"${VELK_SANITIZE}\"")
endif()

if(VELK_SANITIZERS STREQUAL "address,undefined")
  # A report stops the program, so no test passes over undefined behaviour.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(VELK_SANITIZERS STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

function(velk_apply_options target)
  target_compile_options(${target} PRIVATE ${VELK_WARNINGS})
  if(VELK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# velk_library(NAME <target> ALIAS <alias> [DEPENDS <targets>...])
# Builds include/ + src/*.cpp of the current folder into a static library, and installs it
# with its headers into the export set of the velk package (cmake/VelkPackage.cmake), where
# the alias velk::<name> is its name.
function(velk_library)
  cmake_parse_arguments(ARG "" "NAME;ALIAS" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  add_library(${ARG_NAME} STATIC ${sources})
  add_library(${ARG_ALIAS} ALIAS ${ARG_NAME})
  target_include_directories(${ARG_NAME} PUBLIC
      $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${ARG_NAME} PUBLIC ${ARG_DEPENDS})
  # The public headers use std::expected, so every consumer compiles as C++23.
  target_compile_features(${ARG_NAME} PUBLIC cxx_std_23)
  if(VELK_SANITIZERS)
    # Sanitized archives need the sanitizer runtimes wherever they are linked.
    target_link_options(${ARG_NAME} INTERFACE $<INSTALL_INTERFACE:-fsanitize=${VELK_SANITIZERS}>)
  endif()
  if(VELK_COVERAGE)
    # So do instrumented archives the coverage runtime (the package test's consumer links them).
    target_link_options(${ARG_NAME} INTERFACE $<INSTALL_INTERFACE:--coverage>)
  endif()
  velk_apply_options(${ARG_NAME})

  string(REPLACE "velk::" "" export_name ${ARG_ALIAS})
  set_target_properties(${ARG_NAME} PROPERTIES EXPORT_NAME ${export_name})
  install(TARGETS ${ARG_NAME} EXPORT velkTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()

# velk_tests(NAME <target> DEPENDS <targets>...)
# Builds tests/*.cpp of the current folder into one GoogleTest program registered with ctest.
function(velk_tests)
  cmake_parse_arguments(ARG "" "NAME" "DEPENDS" ${ARGN})
  if(NOT VELK_BUILD_TESTS)
    return()
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
  add_executable(${ARG_NAME} ${sources})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_DEPENDS} GTest::gtest GTest::gmock GTest::gtest_main)
  velk_apply_options(${ARG_NAME})
  gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60)
endfunction()
