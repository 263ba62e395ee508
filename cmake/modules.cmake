# lb_module(<name> [DEPS targets...])
# A static library lumenbrook_<name> built from every .cpp in the calling folder.
# Headers are included as "<layer>/<module>/<file>.h" from the project root.
function(lb_module name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(lumenbrook_${name} STATIC ${sources})
    target_include_directories(lumenbrook_${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(lumenbrook_${name} PUBLIC ${ARG_DEPS})
  else()
    # A module still made of headers only.
    add_library(lumenbrook_${name} INTERFACE)
    target_include_directories(lumenbrook_${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(lumenbrook_${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# lb_test(<name> LIBS targets... [SOURCES files...])
# One GoogleTest executable; without SOURCES it takes every *_test.cpp in the calling folder.
function(lb_test name)
  cmake_parse_arguments(ARG "" "" "LIBS;SOURCES" ${ARGN})
  if(NOT ARG_SOURCES)
    file(GLOB ARG_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    LB_SOURCE_DIR="${PROJECT_SOURCE_DIR}" LB_VECTORS_DIR="${LB_VECTORS_DIR}")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30)
endfunction()
include(GoogleTest)
