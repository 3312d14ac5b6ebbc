# brellan_program(NAME <name> DESCRIPTION <text> STAGES <library> WIN32_LIBS <libs...>)
#
# Builds one program from its entry (main.cpp beside the caller) and the library of its stages.
# Windows: a hardened GUI-subsystem executable with a manifest and version information, started
# by the shared entry. Host: the entry renamed <name>Main, so that tests can call it.
function(brellan_program)
  cmake_parse_arguments(P "" "NAME;DESCRIPTION;STAGES" "WIN32_LIBS" ${ARGN})
  target_include_directories(${P_STAGES} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/common)
  target_compile_options(${P_STAGES} PRIVATE ${BRELLAN_PROGRAM_FLAGS})
  if(NOT WIN32)
    target_link_libraries(${P_STAGES} PUBLIC hostwin)
    add_library(${P_NAME}_entry STATIC main.cpp)
    target_compile_definitions(${P_NAME}_entry PRIVATE main=${P_NAME}Main)
    target_compile_options(${P_NAME}_entry PRIVATE ${BRELLAN_PROGRAM_FLAGS})
    target_link_libraries(${P_NAME}_entry PUBLIC ${P_STAGES})
    return()
  endif()

  target_link_libraries(${P_STAGES} PUBLIC ${P_WIN32_LIBS})
  set(PROGRAM_NAME ${P_NAME})
  set(PROGRAM_DESCRIPTION ${P_DESCRIPTION})
  set(PROGRAM_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${P_NAME}.exe.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.manifest.in ${PROGRAM_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${P_NAME}.rc @ONLY)
  add_executable(${P_NAME} main.cpp ${PROJECT_SOURCE_DIR}/common/program_entry.cpp
                 ${CMAKE_CURRENT_BINARY_DIR}/${P_NAME}.rc)
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${P_NAME}.rc PROPERTIES OBJECT_DEPENDS ${PROGRAM_MANIFEST})
  target_compile_options(${P_NAME} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${BRELLAN_PROGRAM_FLAGS}>)
  target_link_options(${P_NAME} PRIVATE ${BRELLAN_PROGRAM_LINK_FLAGS})
  target_link_libraries(${P_NAME} PRIVATE ${P_STAGES})
endfunction()
