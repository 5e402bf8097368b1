# The Debian package: `cpack -G DEB` in a build tree (scripts/package.sh makes
# one from nothing). It installs the two programs under /usr/bin, their data
# under /usr/share/quoralith and the desktop files where desktops look for them.
set(CPACK_PACKAGE_NAME quoralith)
set(CPACK_PACKAGE_VENDOR "Quoralith")
set(CPACK_PACKAGE_CONTACT "Quoralith developers <quoralith@quoralith.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Binary deltas of files and directory trees")
set(CPACK_PACKAGE_DESCRIPTION
  "Quoralith makes binary deltas: given an old and a new version of a file it\n"
  "writes a delta holding only what rebuilds the new version from the old one,\n"
  "and restores it byte for byte, verified against a digest the delta carries.\n"
  "Whole directory trees work the same way. The package holds the command line\n"
  "quoralith and the desktop program quoralith-gui.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.quoralith.example")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are read from the libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
