# vado_add_fake_mobile_device(target [OMIT symbol]): a stand-in MobileDevice library that
# exports every MobileDevice name of the function table (OMIT hides one of them). Service
# connections are plain socket descriptors. The library lands in the caller's build folder,
# never in build/lib.
set(VADO_FAKE_MD_DIR ${CMAKE_CURRENT_LIST_DIR})

function(vado_add_fake_mobile_device target)
  cmake_parse_arguments(ARG "" "OMIT" "" ${ARGN})
  add_library(${target} SHARED ${VADO_FAKE_MD_DIR}/fake_md_stubs.cpp
                               ${VADO_FAKE_MD_DIR}/fake_md_service.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  set_target_properties(${target} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fake
    CXX_VISIBILITY_PRESET hidden)
  if(ARG_OMIT)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
    file(WRITE ${script} "{ global: *; local: ${ARG_OMIT}; };\n")
    target_link_options(${target} PRIVATE -Wl,--version-script=${script})
  endif()
endfunction()
