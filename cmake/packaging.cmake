# What gets installed, and the Debian package made of it.
#
# Component "agent" is the bundle: executables, the info file, desktop entries, icons
# and man pages under one prefix. A per-user install from a build is
#   cmake --install build --prefix DIR --component agent && DIR/bin/vellomark
# (the copy installs itself into ~/.local/opt/vellomark). Component "system" holds what
# only the package places: the user unit under /usr/lib/systemd/user and the session
# autostart entry in /etc/xdg/autostart.

# The integer the hand-off and the updater compare: 0.1.0 -> 100.
math(EXPR VELLOMARK_DEFAULT_BUILD
     "${PROJECT_VERSION_MAJOR} * 10000 + ${PROJECT_VERSION_MINOR} * 100 + ${PROJECT_VERSION_PATCH}")
set(VELLOMARK_BUILD_NUMBER ${VELLOMARK_DEFAULT_BUILD} CACHE STRING "CFBundleVersion of this build")
set(VELLOMARK_FEED_URL "" CACHE STRING "Update feed (https://) of per-user installs; empty: no updates")
set(VELLOMARK_PUBLIC_ED_KEY "" CACHE STRING "Base64 Ed25519 public key that update archives are signed with")

set(VELLOMARK_DATA ${PROJECT_SOURCE_DIR}/data)
configure_file(${VELLOMARK_DATA}/version.in ${PROJECT_BINARY_DIR}/share/vellomark/version @ONLY)

set(VELLOMARK_INSTALLED_TOOLS vellomark vellomark-share vellomark-ctl vellomark-phone)
foreach(tool ${VELLOMARK_INSTALLED_TOOLS})
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION bin COMPONENT agent)
    if(EXISTS ${VELLOMARK_DATA}/man/${tool}.1)
      install(FILES ${VELLOMARK_DATA}/man/${tool}.1 DESTINATION share/man/man1 COMPONENT agent)
    endif()
  endif()
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/share/vellomark/version ${VELLOMARK_DATA}/vellomark-autostart.desktop
        DESTINATION share/vellomark COMPONENT agent)
install(FILES ${VELLOMARK_DATA}/vellomark.desktop ${VELLOMARK_DATA}/vellomark-share.desktop
        DESTINATION share/applications COMPONENT agent)
# The icons are drawn with the menu; they go into the hicolor theme as they lie.
if(IS_DIRECTORY ${VELLOMARK_DATA}/icons/hicolor)
  install(DIRECTORY ${VELLOMARK_DATA}/icons/hicolor DESTINATION share/icons COMPONENT agent
          FILES_MATCHING PATTERN "*.svg" PATTERN "*.png")
endif()

# The package's unit: the same text the per-user installer writes, for /usr/bin.
set(VELLOMARK_EXEC /usr/bin/vellomark)
set(VELLOMARK_LOG %h/.local/state/vellomark/launchd.log)
configure_file(${VELLOMARK_DATA}/vellomark.service.in ${PROJECT_BINARY_DIR}/package/vellomark.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/vellomark.service DESTINATION lib/systemd/user COMPONENT system)
install(FILES ${VELLOMARK_DATA}/vellomark-autostart.desktop DESTINATION /etc/xdg/autostart
        RENAME vellomark.desktop COMPONENT system)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vellomark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vellomark")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "use this computer from a paired iPhone")
set(CPACK_PACKAGE_DESCRIPTION "Vellomark is a desktop agent that lets a paired phone drive this computer \
over an encrypted channel (pointer, keys, text, apps, workspaces), watch its screen as HEVC video and \
exchange files. It runs as the systemd user service vellomark.service.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Vellomark developers <dev@vellomark.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_FILE_NAME "vellomark_${PROJECT_VERSION}_amd64.deb")
# Library dependencies come from the executables themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd, avahi-daemon")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libayatana-appindicator3-1")
set(CPACK_STRIP_FILES ON)
include(CPack)
