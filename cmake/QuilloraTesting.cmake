# Registers one Qt Test executable with CTest, always on the offscreen platform.
function(quillora_add_test name)
  cmake_parse_arguments(QT_ARG "" "TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${QT_ARG_SOURCES})
  target_link_libraries(${name} PRIVATE Qt6::Test ${QT_ARG_LIBRARIES})
  add_test(NAME ${name} COMMAND ${name})
  if(NOT QT_ARG_TIMEOUT)
    set(QT_ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_FATAL_WARNINGS=0"
    TIMEOUT ${QT_ARG_TIMEOUT})
endfunction()
