# The Debian package: `cpack -G DEB` in the build folder.
set(CPACK_PACKAGE_NAME rastel)
set(CPACK_PACKAGE_VENDOR "The Rastel developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch converter for raster image files")
set(CPACK_PACKAGE_DESCRIPTION
    "Rastel converts raster image files in a batch. Files and folders dropped on its small
window, or named on its command line, are loaded, optionally turned to grayscale,
mirrored, rotated and reduced to 1 to 8 bits with one of nine dithering methods, and
saved beside each input in the output format chosen in the settings dialog.
rastel-batch runs the same conversion without a window.")
set(CPACK_PACKAGE_HOMEPAGE_URL ${RASTEL_HOMEPAGE})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${RASTEL_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Added to what the shared libraries need: Qt loads these as plugins, so the
# library scan cannot see them (the window system plugin, and SVG for the icon).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
# EPS input runs Ghostscript; the window's Japanese text wants a Japanese font.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ghostscript, fonts-ipafont-gothic | fonts-noto-cjk")
include(CPack)
