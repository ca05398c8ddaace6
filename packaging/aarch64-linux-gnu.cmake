# Cross build for 64-bit ARM phones (Mobian, PureOS, Droidian ...) with Debian's cross toolchain
# (g++-aarch64-linux-gnu) against the arm64 libraries installed through multiarch
# (`dpkg --add-architecture arm64`, libplist-dev:arm64 ...). The `arm64` preset uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# pkg-config answers for the arm64 libraries only.
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for arm64")

# Programs the build runs (the logo maker) run under qemu-user with the arm64 libraries.
find_program(ORVELLA_QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVELLA_QEMU_AARCH64})

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
