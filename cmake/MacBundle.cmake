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
# Gatekeeper opens after the user allows it once.
add_custom_command(TARGET sitting-timer POST_BUILD
  COMMAND codesign --force --sign - --timestamp=none $<TARGET_BUNDLE_DIR:sitting-timer>
  COMMENT "Signing Sitting Timer.app ad hoc"
  VERBATIM)
# Installing may rewrite the binary (its run paths), which breaks the seal: sign again there.
install(CODE [[
  execute_process(
    COMMAND codesign --force --sign - --timestamp=none
            "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/Sitting Timer.app"
    COMMAND_ERROR_IS_FATAL ANY)
]])

set(CPACK_GENERATOR DragNDrop)
set(CPACK_PACKAGE_NAME "Sitting Timer")
set(CPACK_PACKAGE_VENDOR "sitting-timer")
set(CPACK_PACKAGE_FILE_NAME "Sitting-Timer-${PROJECT_VERSION}")
set(CPACK_DMG_VOLUME_NAME "Sitting Timer")
include(CPack)
