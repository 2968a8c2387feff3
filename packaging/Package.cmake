# What a package installs besides the program, and the .deb made from it by CPack
# (scripts/package builds it with the prefix /usr).

install(FILES packaging/org.tolva.Screen.autostart.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/tolva-screen)
install(DIRECTORY packaging/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

# D-Bus starts the program when something calls org.tolva.Screen while it does not run; KWin
# finds the program's desktop entry by that absolute path too.
set(TOLVA_INSTALLED_BINARY ${CMAKE_INSTALL_FULL_BINDIR}/tolva-screen)
configure_file(packaging/org.tolva.Screen.desktop.in ${CMAKE_BINARY_DIR}/packaging/org.tolva.Screen.desktop @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/org.tolva.Screen.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(packaging/org.tolva.Screen.service.in ${CMAKE_BINARY_DIR}/packaging/org.tolva.Screen.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/org.tolva.Screen.service DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/services)

# The manual page and the Debian changelog, compressed the way Debian wants them.
set(TOLVA_PACKAGE_VERSION ${PROJECT_VERSION}-1)
configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
foreach(source IN ITEMS ${PROJECT_SOURCE_DIR}/packaging/tolva-screen.1 ${PROJECT_SOURCE_DIR}/packaging/tolva-screen-guard.1
                       ${PROJECT_SOURCE_DIR}/packaging/tolva-screen-guard-wayland.1
                       ${CMAKE_BINARY_DIR}/packaging/changelog.Debian)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${name}.gz
                     COMMAND gzip -9nc ${source} > ${CMAKE_BINARY_DIR}/packaging/${name}.gz
                     DEPENDS ${source} VERBATIM)
  list(APPEND TOLVA_COMPRESSED_DOCS ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
endforeach()
add_custom_target(tolva-package-docs ALL DEPENDS ${TOLVA_COMPRESSED_DOCS})
add_dependencies(tolva-screen tolva-package-docs)
install(FILES ${CMAKE_BINARY_DIR}/packaging/tolva-screen.1.gz ${CMAKE_BINARY_DIR}/packaging/tolva-screen-guard.1.gz
              ${CMAKE_BINARY_DIR}/packaging/tolva-screen-guard-wayland.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(TOLVA_PACKAGE_MANAGED)
  # Only a system package brings the login-password PAM service and the Debian documents.
  install(FILES packaging/tolva-screen.pam DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/pam.d RENAME tolva-screen)
  install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tolva-screen)
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/pam.d/tolva-screen\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolva-screen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tolva Screen developers <packages@tolva.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "privacy overlay for the Linux desktop")
# CPack puts the summary first and indents each line of this below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tolva Screen lives in the system tray. When you step away it covers every
display with an overlay, blocks the keyboard, and goes away only for your
PIN, a fingerprint or your login password. The default look, a faint tint,
hides nothing; a solid colour or an image keeps people walking past from
reading your screen. It does not replace locking your session.")
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The PAM service includes common-auth; xdg-screensaver is the fallback to lock the session;
# Qt's own words (its dialogs, shortcut names) come in the interface language from Qt's catalogues.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpam-runtime, xdg-utils, qt6-translations-l10n")
# The desktop's own file dialog (through the XDG portal, or GTK's) and the theme's symbolic tray icons.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "gnome-keyring, fprintd, qt6-xdgdesktopportal-platformtheme | qt6-gtk-platformtheme, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)

# The GNOME Shell extension that covers the screen on GNOME (Wayland), in the form this
# distribution's Shell (43 and 44: legacy imports) loads; the ES-module form for 45 and later is
# assembled beside it in the build folder.
set(TOLVA_EXTENSION_UUID tolva-screen@tolva.org)
file(GLOB TOLVA_EXTENSION_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/gnome-shell/${TOLVA_EXTENSION_UUID}/*
     ${PROJECT_SOURCE_DIR}/gnome-shell/${TOLVA_EXTENSION_UUID}/schemas/*)
foreach(form legacy module)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/gnome-shell/${form}/${TOLVA_EXTENSION_UUID}/metadata.json
    COMMAND ${PROJECT_SOURCE_DIR}/gnome-shell/assemble ${form} ${CMAKE_BINARY_DIR}/gnome-shell/${form}/${TOLVA_EXTENSION_UUID}
    DEPENDS ${PROJECT_SOURCE_DIR}/gnome-shell/assemble ${TOLVA_EXTENSION_SOURCES}
    COMMENT "Assembling the GNOME Shell extension (${form})")
endforeach()
add_custom_target(gnome-shell-extension ALL DEPENDS
  ${CMAKE_BINARY_DIR}/gnome-shell/legacy/${TOLVA_EXTENSION_UUID}/metadata.json
  ${CMAKE_BINARY_DIR}/gnome-shell/module/${TOLVA_EXTENSION_UUID}/metadata.json)
install(DIRECTORY ${CMAKE_BINARY_DIR}/gnome-shell/legacy/${TOLVA_EXTENSION_UUID}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/gnome-shell/extensions)
