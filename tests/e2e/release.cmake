# The release (label `dist`): the tray icons' images, then scripts/package.sh run into the build
# tree with its four files checked, then a second run from a clone of the commit elsewhere that
# must give the same bytes. The installer under Wine: install, shortcuts, uninstall, upgrade.
if(KC_SANITIZE)
  return()  # nothing of the release depends on the sanitizer build
endif()
find_package(Python3 COMPONENTS Interpreter)
if(NOT Python3_Interpreter_FOUND)
  return()
endif()

set(KC_DIST_CHECK ${CMAKE_SOURCE_DIR}/tests/dist/check_release.py)
set(KC_DIST_RELEASE ${CMAKE_BINARY_DIR}/dist/release)

add_test(NAME dist.icons COMMAND ${Python3_EXECUTABLE} ${KC_DIST_CHECK} icons)
set_tests_properties(dist.icons PROPERTIES LABELS dist TIMEOUT 60)

add_test(NAME dist.package_folders COMMAND ${Python3_EXECUTABLE} ${KC_DIST_CHECK} folders)
set_tests_properties(dist.package_folders PROPERTIES LABELS dist TIMEOUT 300)

add_test(NAME dist.package
         COMMAND ${Python3_EXECUTABLE} ${KC_DIST_CHECK} package --version ${PROJECT_VERSION}
                 --out ${KC_DIST_RELEASE} --work ${CMAKE_BINARY_DIR}/dist/work)
set_tests_properties(dist.package PROPERTIES LABELS dist SKIP_RETURN_CODE 77 TIMEOUT 900
                     FIXTURES_SETUP dist_release RESOURCE_LOCK dist_release)

add_test(NAME dist.reproducible
         COMMAND ${Python3_EXECUTABLE} ${KC_DIST_CHECK} reproducible --version ${PROJECT_VERSION}
                 --release ${KC_DIST_RELEASE})
set_tests_properties(dist.reproducible PROPERTIES LABELS dist SKIP_RETURN_CODE 77 TIMEOUT 900
                     FIXTURES_REQUIRED dist_release RESOURCE_LOCK dist_release)

# The installer under Wine, from the release dist.package made. Starting the installed i686 exe
# needs a host that runs 32-bit programs; elsewhere that test reports itself skipped.
foreach(what install start)
  add_test(NAME dist.msi_wine_${what}
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/dist/check_msi_wine.py ${what}
                   --msi ${KC_DIST_RELEASE}/KestovaChecker-${PROJECT_VERSION}.msi)
  set_tests_properties(dist.msi_wine_${what} PROPERTIES LABELS "dist;wine" SKIP_RETURN_CODE 77
                       TIMEOUT 600 FIXTURES_REQUIRED dist_release RESOURCE_LOCK dist_release)
endforeach()

# The tray icon at 144 dpi under Wine (the exes of the win32 and win64 presets, as the Wine suite
# takes them): drawn at its 24 pixel size, not stretched; the screenshot goes to dist/artifacts.
set(kc_dist_win32 "${CMAKE_SOURCE_DIR}/build/win32")
set(kc_dist_win64 "${CMAKE_SOURCE_DIR}/build/win64")
if(DEFINED KC_WINE_WIN32_DIR)
  set(kc_dist_win32 "${KC_WINE_WIN32_DIR}")
  set(kc_dist_win64 "${KC_WINE_WIN64_DIR}")
endif()
add_test(NAME dist.tray_144dpi
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/dist/tray_dpi.py
                 --exe32 ${kc_dist_win32}/KestovaChecker.exe --exe64 ${kc_dist_win64}/KestovaChecker.exe
                 --artifacts ${CMAKE_BINARY_DIR}/dist/artifacts)
set_tests_properties(dist.tray_144dpi PROPERTIES LABELS "dist;wine" SKIP_RETURN_CODE 77 TIMEOUT 300)
