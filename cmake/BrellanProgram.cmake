# brellan_program(NAME <name> DESCRIPTION <text> STAGES <library> WIN32_LIBS <libs...> [MESSAGES <file.mc>])
#
# Builds one program from its entry (main.cpp beside the caller) and the library of its stages.
# Windows: a hardened GUI-subsystem executable with a manifest and version information, started
# by the shared entry, and with MESSAGES the message table that file defines. Host: the entry
# renamed <name>Main, so that tests can call it.
function(brellan_program)
  cmake_parse_arguments(P "" "NAME;DESCRIPTION;STAGES;MESSAGES" "WIN32_LIBS" ${ARGN})
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
  set(PROGRAM_MESSAGES "")
  set(rc_depends ${PROGRAM_MANIFEST})
  if(P_MESSAGES)
    # The message compiler beside the resource compiler: its .rc names the table's .bin.
    string(REGEX REPLACE "windres$" "windmc" message_compiler "${CMAKE_RC_COMPILER}")
    get_filename_component(messages_name ${P_MESSAGES} NAME_WE)
    set(messages_dir ${CMAKE_CURRENT_BINARY_DIR}/${messages_name})
    add_custom_command(OUTPUT ${messages_dir}/${messages_name}.rc ${messages_dir}/${messages_name}.h
      COMMAND ${CMAKE_COMMAND} -E make_directory ${messages_dir}
      COMMAND ${message_compiler} -h ${messages_dir} -r ${messages_dir} ${P_MESSAGES}
      DEPENDS ${P_MESSAGES}
      COMMENT "Compiling the message table ${P_MESSAGES}"
      VERBATIM)
    set(PROGRAM_MESSAGES "#include \"${messages_dir}/${messages_name}.rc\"")
    list(APPEND rc_depends ${messages_dir}/${messages_name}.rc)
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.manifest.in ${PROGRAM_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/program.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${P_NAME}.rc @ONLY)
  add_executable(${P_NAME} main.cpp ${PROJECT_SOURCE_DIR}/common/program_entry.cpp
                 ${CMAKE_CURRENT_BINARY_DIR}/${P_NAME}.rc)
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${P_NAME}.rc PROPERTIES OBJECT_DEPENDS "${rc_depends}")
  if(P_MESSAGES)
    # The message compiler's .rc names its table's .bin without a folder.
    set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${P_NAME}.rc PROPERTIES INCLUDE_DIRECTORIES ${messages_dir})
  endif()
  target_compile_options(${P_NAME} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${BRELLAN_PROGRAM_FLAGS}>)
  target_link_options(${P_NAME} PRIVATE ${BRELLAN_PROGRAM_LINK_FLAGS})
  target_link_libraries(${P_NAME} PRIVATE ${P_STAGES})
endfunction()
