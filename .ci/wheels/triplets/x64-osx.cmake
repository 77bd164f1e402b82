# vcpkg's x64-osx triplet, built for the macOS release the wheels declare (cibuildwheel's
# MACOSX_DEPLOYMENT_TARGET): the static simdjson then links cleanly into them.
set(VCPKG_TARGET_ARCHITECTURE x64)
set(VCPKG_CRT_LINKAGE dynamic)
set(VCPKG_LIBRARY_LINKAGE static)
set(VCPKG_CMAKE_SYSTEM_NAME Darwin)
set(VCPKG_OSX_ARCHITECTURES x86_64)
set(VCPKG_OSX_DEPLOYMENT_TARGET 11.0)
