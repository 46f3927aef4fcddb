# toolchain.cmake: configures the project for macOS on Linux, for bundle_test.py alone. The
# compilers are the host's g++, so that CMake's checks of them pass; every build step is then
# done by the stand-ins beside this file, which make empty outputs and never compile, since
# there is no macOS SDK here. What this reaches is CMake's own work for a Mac: the bundle's
# layout, its Info.plist, the order of the build steps, and the install rules.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_CXX_COMPILER /usr/bin/g++)
set(CMAKE_OBJCXX_COMPILER /usr/bin/g++)
set(CMAKE_CXX_COMPILER_WORKS TRUE)
set(CMAKE_OBJCXX_COMPILER_WORKS TRUE)
set(CMAKE_OSX_DEPLOYMENT_TARGET 13.4 CACHE STRING "")

set(standin ${CMAKE_CURRENT_LIST_DIR})
foreach(lang CXX OBJCXX)
  set(CMAKE_${lang}_COMPILER_LAUNCHER ${standin}/build-step)
  set(CMAKE_${lang}_LINKER_LAUNCHER ${standin}/build-step)
endforeach()
set(CMAKE_AR ${standin}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB /bin/true CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL /bin/true CACHE FILEPATH "")
set(SITTING_TIMER_CODESIGN ${standin}/codesign CACHE FILEPATH "")
