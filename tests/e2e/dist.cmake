# The files shipped for Linux users: the udev rule's syntax and what it grants, the user unit
# through systemd-analyze verify where that is installed.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME dist_linux_files
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_dist.py
                   --program $<TARGET_FILE:kestova>)
  set_tests_properties(dist_linux_files PROPERTIES LABELS unit TIMEOUT 60)
endif()
