# MacBundle.cmake: makes the program `Sitting Timer.app`, signed ad hoc, and the .dmg that
# `cpack` builds from it. Included from the top-level CMakeLists.txt on Apple platforms only.

set(SITTING_TIMER_BUNDLE_ID "org.sitting-timer.SittingTimer" CACHE STRING
  "The app's bundle identifier")

# The icon: iconutil, which every Mac has, turns the checked-in iconset into the .icns.
set(iconset ${PROJECT_SOURCE_DIR}/data/macos/SittingTimer.iconset)
file(GLOB iconset_images CONFIGURE_DEPENDS ${iconset}/*.png)
set(icon ${CMAKE_CURRENT_BINARY_DIR}/SittingTimer.icns)
add_custom_command(OUTPUT ${icon}
  COMMAND iconutil --convert icns --output ${icon} ${iconset}
  DEPENDS ${iconset_images}
  COMMENT "Making the app icon"
  VERBATIM)
set_source_files_properties(${icon} PROPERTIES MACOSX_PACKAGE_LOCATION Resources)
target_sources(sitting-timer PRIVATE ${icon})

# The oldest macOS the app runs on is the one it is compiled for; the property list says the
# same, so that an older system declines to open it, saying why, instead of failing to load it.
if(NOT CMAKE_OSX_DEPLOYMENT_TARGET)
  message(FATAL_ERROR
    "Set CMAKE_OSX_DEPLOYMENT_TARGET: Info.plist's LSMinimumSystemVersion is taken from it")
endif()

# Before install(TARGETS) below, which decides at its call whether the target is a bundle; set
# after it, the app would be installed as a plain program under bin/.
set_target_properties(sitting-timer PROPERTIES
  MACOSX_BUNDLE TRUE
  OUTPUT_NAME "Sitting Timer"
  MACOSX_BUNDLE_INFO_PLIST ${PROJECT_SOURCE_DIR}/data/macos/Info.plist.in
  MACOSX_BUNDLE_BUNDLE_NAME "Sitting Timer"
  MACOSX_BUNDLE_GUI_IDENTIFIER ${SITTING_TIMER_BUNDLE_ID}
  MACOSX_BUNDLE_BUNDLE_VERSION ${PROJECT_VERSION}
  MACOSX_BUNDLE_SHORT_VERSION_STRING ${PROJECT_VERSION}
  MACOSX_BUNDLE_ICON_FILE SittingTimer.icns)

# Ad hoc: no developer identity, but a sealed bundle that Apple silicon will run, and that
# Gatekeeper opens after the user allows it once. The seal covers every file of the bundle, so
# it is made by a target of its own that runs once the app target is complete, resources
# included: a POST_BUILD step runs with the link, after which the Makefile generator copies the
# icon, leaving a seal that a file was added to.
find_program(SITTING_TIMER_CODESIGN codesign REQUIRED)
add_custom_target(sign-app ALL
  COMMAND ${SITTING_TIMER_CODESIGN} --force --sign - --timestamp=none
          $<TARGET_BUNDLE_DIR:sitting-timer>
  COMMENT "Signing Sitting Timer.app ad hoc"
  VERBATIM)
add_dependencies(sign-app sitting-timer)

# At the prefix's top level, where a Mac user keeps apps (`--prefix ~/Applications`), and where
# the .dmg shows it beside the link to Applications.
install(TARGETS sitting-timer BUNDLE DESTINATION .)
# Installing may rewrite the binary (its run paths), which breaks the seal: sign the installed
# copy again, after the rule above has put the whole bundle in place.
string(CONFIGURE [[
  execute_process(
    COMMAND "@SITTING_TIMER_CODESIGN@" --force --sign - --timestamp=none
            "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/Sitting Timer.app"
    COMMAND_ERROR_IS_FATAL ANY)
]] sign_installed_app @ONLY)
install(CODE "${sign_installed_app}")

set(CPACK_GENERATOR DragNDrop)
set(CPACK_PACKAGE_NAME "Sitting Timer")
set(CPACK_PACKAGE_VENDOR "sitting-timer")
set(CPACK_PACKAGE_FILE_NAME "Sitting-Timer-${PROJECT_VERSION}")
set(CPACK_DMG_VOLUME_NAME "Sitting Timer")
# The app beside a link to /Applications, to drag it onto (CPack's default, said out loud).
set(CPACK_DMG_DISABLE_APPLICATIONS_SYMLINK OFF)
include(CPack)
