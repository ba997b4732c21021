# What `cmake --install` puts on a Linux desktop, and the .deb that CPack builds from it:
# the program, its desktop entry, its icon in the hicolor theme (scalable and sized), the
# AppStream metainfo, the licences of the third-party assets the program embeds, and the
# traffic guard's privileged helper with its bus and polkit files. Every file carries the
# application id, so the desktop links the window, the entry and the icon.
if(NOT TARGET tandrel)
  return()
endif()

set(TANDREL_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tandrel)
set(linux_dir ${PROJECT_SOURCE_DIR}/resources/linux)
set(generated ${CMAKE_BINARY_DIR}/linux)

install(TARGETS tandrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)

configure_file(${linux_dir}/tandrel.desktop.in ${generated}/${TANDREL_BUNDLE_ID}.desktop @ONLY)
configure_file(${linux_dir}/tandrel.metainfo.xml.in ${generated}/${TANDREL_BUNDLE_ID}.metainfo.xml @ONLY)
install(FILES ${generated}/${TANDREL_BUNDLE_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications
        COMPONENT program)
install(FILES ${generated}/${TANDREL_BUNDLE_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo
        COMPONENT program)

# The icon: the artwork itself as the scalable one, rendered at the theme's usual sizes
# for desktops that want bitmaps.
set(icon_svg ${PROJECT_SOURCE_DIR}/resources/Assets/AppIconMacOS.svg)
install(FILES ${icon_svg} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps
        RENAME ${TANDREL_BUNDLE_ID}.svg COMPONENT program)
add_executable(tandrel-render-icon ${PROJECT_SOURCE_DIR}/tools/render-icon/main.cpp)
target_link_libraries(tandrel-render-icon PRIVATE Qt6::Gui Qt6::Svg)
set(icon_pngs)
foreach(size 16 24 32 48 64 128 256 512)
  set(png ${generated}/icons/${size}x${size}/${TANDREL_BUNDLE_ID}.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${generated}/icons/${size}x${size}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:tandrel-render-icon> ${icon_svg} ${size} ${png}
    DEPENDS tandrel-render-icon ${icon_svg}
    COMMENT "Rendering the ${size}x${size} application icon" VERBATIM)
  list(APPEND icon_pngs ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps COMPONENT program)
endforeach()
add_custom_target(tandrel-icons ALL DEPENDS ${icon_pngs})

# The licences of the embedded npm assets (staged by resources/Resources.cmake) and of
# the JSON library compiled in.
install(DIRECTORY ${CMAKE_BINARY_DIR}/src/npm-assets/licenses/ ${CMAKE_BINARY_DIR}/src/map-data/licenses/
        DESTINATION ${TANDREL_DOC_DIR}/licenses COMPONENT program OPTIONAL)
install(FILES ${PROJECT_SOURCE_DIR}/resources/licenses/nlohmann-json.txt DESTINATION ${TANDREL_DOC_DIR}/licenses
        COMPONENT program)

# What a Debian package carries beside the program: the machine-readable copyright file
# (every embedded asset and library with its licence), the changelog and the manual page,
# the last two compressed as Debian wants them (gzip -9, no name or time stamp).
set(debian_dir ${linux_dir}/debian)
install(FILES ${debian_dir}/copyright DESTINATION ${TANDREL_DOC_DIR} COMPONENT program)
configure_file(${linux_dir}/tandrel.1.in ${generated}/tandrel.1 @ONLY)
set(changelog_gz ${generated}/changelog.Debian.gz)
set(manual_gz ${generated}/tandrel.1.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${debian_dir}/changelog ${changelog_gz}
  DEPENDS ${debian_dir}/changelog VERBATIM)
add_custom_command(OUTPUT ${manual_gz}
  COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${generated}/tandrel.1 ${manual_gz}
  DEPENDS ${generated}/tandrel.1 VERBATIM)
add_custom_target(tandrel-package-docs ALL DEPENDS ${changelog_gz} ${manual_gz})
install(FILES ${changelog_gz} DESTINATION ${TANDREL_DOC_DIR} COMPONENT program)
install(FILES ${manual_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
# The package's version is the changelog's newest entry: a version without its entry
# stops the configure step rather than shipping a package whose changelog lies.
file(STRINGS ${debian_dir}/changelog changelog_head LIMIT_COUNT 1)
string(REGEX MATCH "^tandrel \\(([^)-]+)-([^)]+)\\)" changelog_version "${changelog_head}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "resources/linux/debian/changelog's newest entry is for '${CMAKE_MATCH_1}', "
                      "not ${PROJECT_VERSION}: add an entry for this version")
endif()
set(TANDREL_DEBIAN_REVISION ${CMAKE_MATCH_2})

# The traffic guard: its privileged helper under libexec, started by the system bus
# (service file, and a bus policy that lets only root own its name and anyone call it),
# and its polkit action. The service file names the helper by the prefix of this very
# install (a staging folder, or /usr in the .deb), so it is written at install time.
install(TARGETS tandrel-traffic-guard RUNTIME DESTINATION ${TANDREL_GUARD_HELPER_DIR} COMPONENT program)
install(FILES ${TANDREL_GUARD_BUS_POLICY} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/dbus-1/system.d COMPONENT program)
install(FILES ${TANDREL_GUARD_POLKIT_ACTION} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/polkit-1/actions COMPONENT program)
install(CODE "
  set(TANDREL_GUARD_SERVICE \"${TANDREL_GUARD_SERVICE}\")
  set(TANDREL_GUARD_HELPER \"\${CMAKE_INSTALL_PREFIX}/${TANDREL_GUARD_HELPER_DIR}/${TANDREL_GUARD_HELPER_NAME}\")
  set(service_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATAROOTDIR}/dbus-1/system-services/${TANDREL_GUARD_SERVICE}.service\")
  message(STATUS \"Installing: \${service_file}\")
  configure_file(\"${linux_dir}/trafficguard.service.in\" \"\${service_file}\" @ONLY)
" COMPONENT program)

# The .deb: its library dependencies are computed from the program (dpkg-shlibdeps); the
# platform plugins Qt loads at run time are named, and the tunnel's
# NetworkManager plugin is recommended (without it Tandrel says what is missing).
set(CPACK_PACKAGE_NAME tandrel)
set(CPACK_PACKAGE_VENDOR "Tandrel")
set(CPACK_PACKAGE_CONTACT "${TANDREL_SUPPORT_EMAIL}")
set(TANDREL_PACKAGE_MAINTAINER "Tandrel Maintainers <${TANDREL_SUPPORT_EMAIL}>" CACHE STRING
    "The .deb's Maintainer: a name and an address")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TANDREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TANDREL_DEBIAN_REVISION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VPN client for the Tandrel service")
# Debian wants the extended description in lines of under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION "Tandrel signs you in to the Tandrel VPN service, lets you pick a region\n\
from a list or a world map and connects through an IKEv2 tunnel set up in\n\
NetworkManager.")
set(CPACK_PACKAGE_HOMEPAGE_URL "${TANDREL_WEB_BASE}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL program)
set(CPACK_DEB_COMPONENT_INSTALL OFF)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};program;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# xdg-utils: opening the web site, the reset-password page and the support mail go
# through xdg-open.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, xdg-utils")
if(TANDREL_VPN_BACKEND STREQUAL "networkmanager")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "network-manager, network-manager-strongswan, strongswan-nm, qt6-translations-l10n, fonts-noto-color-emoji")
else()
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, fonts-noto-color-emoji")
endif()
# Removing the package takes the guard away (an upgrade keeps it).
set(TANDREL_GUARD_HELPER ${CPACK_PACKAGING_INSTALL_PREFIX}/${TANDREL_GUARD_HELPER_DIR}/${TANDREL_GUARD_HELPER_NAME})
foreach(script prerm postrm)
  configure_file(${linux_dir}/debian/${script}.in ${generated}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${generated}/debian/prerm;${generated}/debian/postrm")
include(CPack)
