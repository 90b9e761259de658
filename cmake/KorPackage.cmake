# The Debian package of an install (`cpack --config CPackConfig.cmake`, run by scripts/dist.sh):
# kor_VERSION_ARCH.deb with the library, headers, CMake and pkg-config files, the programs, the
# packet dissector and the Python package, installed under /usr. Its Depends are computed by
# dpkg-shlibdeps from the shared libraries the programs and the library link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kor")
set(CPACK_PACKAGE_CONTACT "Kor developers <kor@kor-telemetry.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Kor camera and lens telemetry: library, emulator, sender, monitor and bridge")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "KorLib, the Kor telemetry protocol library (C++ and C interfaces, with headers, CMake
and pkg-config files), the korlib Python package over it, KorEmulator (a window that sends
camera and lens telemetry), kor-send, kor-monitor and kor-bridge (OpenTrackIO and FreeD),
and the packet dissector for Wireshark.")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://kor-telemetry.example")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # kor_VERSION_ARCH.deb
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Depends from the libraries the ELF files link; the package's own library is found beside
# them, and a shlibs file lets other packages depend on it in turn.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3, tshark | wireshark")
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/dist)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/_CPack_Packages_root)
include(CPack)
