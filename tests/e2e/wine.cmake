# The Windows program end to end under Wine (label `wine`): every scenario for both exes,
# registered in the Linux build. The exes and the test helpers come from the win32 and win64
# builds (presets of the same names); without them the tests report themselves skipped.
# One Wine prefix per architecture and suite run, made by a fixture and removed afterwards;
# the scenarios of one architecture share it and run one after the other. On a host that runs
# no 32-bit programs the i686 prefix and scenarios report themselves skipped with that reason.
if(KC_SANITIZE)
  return()  # the exes are the same whatever the Linux build; run the suite once
endif()

set(KC_WINE_WIN32_DIR "${CMAKE_SOURCE_DIR}/build/win32" CACHE PATH "Build directory of the i686 exe")
set(KC_WINE_WIN64_DIR "${CMAKE_SOURCE_DIR}/build/win64" CACHE PATH "Build directory of the x86_64 exe")
set(KC_WINE_ARTIFACTS "${CMAKE_BINARY_DIR}/wine-artifacts" CACHE PATH "Screenshots, traces and logs of the Wine suite")

find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND)
  return()
endif()

set(KC_WINE_HARNESS "${CMAKE_CURRENT_SOURCE_DIR}/wine/harness.py")
# Realistic mail runs for both exes: a host without 32-bit programs runs the x86_64 one only.
set(KC_WINE_SCENARIOS lifecycle first_start check_three counts menu launcher server_down
    server_silent tls tls_faults tls_settings tls_address real_mail split_replies newonly
    notify_wake newonly_no_uidl
    advanced oauth_ports oauth_signin
    accounts accounts_check)
set(KC_WINE_LCD_SCREEN "")
if(TARGET lcd_screen)
  set(KC_WINE_LCD_SCREEN --lcd-screen $<TARGET_FILE:lcd_screen>)
endif()

foreach(arch i686 x86_64)
  if(arch STREQUAL "i686")
    set(dir "${KC_WINE_WIN32_DIR}")
  else()
    set(dir "${KC_WINE_WIN64_DIR}")
  endif()
  set(prefix "${CMAKE_BINARY_DIR}/wine/prefix-${arch}")
  set(exe "${dir}/KestovaChecker.exe")

  add_test(NAME wine.${arch}.prefix
           COMMAND ${Python3_EXECUTABLE} ${KC_WINE_HARNESS} prefix --prefix ${prefix} --exe ${exe}
                   --arch ${arch})
  set_tests_properties(wine.${arch}.prefix PROPERTIES
    LABELS "e2e;wine" FIXTURES_SETUP wine_${arch} RESOURCE_LOCK wine_${arch}
    SKIP_RETURN_CODE 77 TIMEOUT 400)
  add_test(NAME wine.${arch}.prefix.remove
           COMMAND ${Python3_EXECUTABLE} ${KC_WINE_HARNESS} prefix --prefix ${prefix} --remove)
  set_tests_properties(wine.${arch}.prefix.remove PROPERTIES
    LABELS "e2e;wine" FIXTURES_CLEANUP wine_${arch} RESOURCE_LOCK wine_${arch} TIMEOUT 120)

  foreach(scenario ${KC_WINE_SCENARIOS})
    add_test(NAME wine.${arch}.${scenario}
             COMMAND ${Python3_EXECUTABLE} ${KC_WINE_HARNESS} run --scenario ${scenario}
                     --arch ${arch} --exe ${exe} --helpers ${dir}/tests/wine --prefix ${prefix}
                     --artifacts ${KC_WINE_ARTIFACTS} ${KC_WINE_LCD_SCREEN})
    set_tests_properties(wine.${arch}.${scenario} PROPERTIES
      LABELS "e2e;wine" FIXTURES_REQUIRED wine_${arch} RESOURCE_LOCK wine_${arch}
      SKIP_RETURN_CODE 77 TIMEOUT 240)
  endforeach()
endforeach()
