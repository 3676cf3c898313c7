# Cross toolchain for 32-bit ARM Linux (armhf): char is unsigned and long is
# 32 bits, as on the chip. Libraries come from Debian's armhf multiarch
# packages; executables (tests, test discovery) run under qemu-user, called
# directly (no binfmt), against the multiarch runtime in /lib: its loader and
# C library must match, and toml++'s armhf library pulls in the multiarch C
# library, while -L /usr/arm-linux-gnueabihf would take the cross package's
# loader of another Debian revision (a mix that crashes once a thread starts).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes that the ABI of some parameters changed in GCC 7.1: nothing here links against older code.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config reads the armhf libraries' files only: the machine's own
# (amd64) ones sit on its default path and would be linked instead.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
