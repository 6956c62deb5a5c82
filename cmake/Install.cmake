# What an installation holds (the Debian package of scripts/package installs
# with the prefix /usr): programs below lib/lumora-station, the templates of a
# new application folder below share/lumora-station, the command orvanamammo,
# and the documents below share/doc/lumora-station.
include(GNUInstallDirs)
set(LUMORA_PROGRAM_DIR lib/lumora-station)
set(LUMORA_TEMPLATE_DIR share/lumora-station)

install(TARGETS OrvanaMammo LumoraReceiver LumoraDataMgr RUNTIME DESTINATION ${LUMORA_PROGRAM_DIR})

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install)
file(CREATE_LINK ../${LUMORA_PROGRAM_DIR}/OrvanaMammo ${CMAKE_BINARY_DIR}/install/orvanamammo SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/install/orvanamammo DESTINATION bin)

# Freshly made from the schema, never the build station's own databases.
install(FILES ${LUMORA_GENERATED_DATABASES} DESTINATION ${LUMORA_TEMPLATE_DIR}/Data)
install(FILES ${CMAKE_SOURCE_DIR}/assets/projection.ini ${CMAKE_SOURCE_DIR}/assets/orvana.jpg DESTINATION ${LUMORA_TEMPLATE_DIR})

install(FILES ${CMAKE_SOURCE_DIR}/packaging/orvanamammo.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/orvanamammo.png DESTINATION share/icons/hicolor/256x256/apps)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lumora-receiver.service DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/station.conf DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/lumora-station)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/man/orvanamammo.1 DESTINATION share/man/man1)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/man/LumoraReceiver.8 ${CMAKE_SOURCE_DIR}/packaging/man/LumoraDataMgr.8
        DESTINATION share/man/man8)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION share/doc/lumora-station)
# The operator's guide with its pictures, the conformance statement and the
# factor-table format, which the dose calibration's Factor tables tab names.
install(FILES ${CMAKE_SOURCE_DIR}/docs/guide.md ${CMAKE_SOURCE_DIR}/docs/conformance.md ${CMAKE_SOURCE_DIR}/docs/factor-tables.md
        DESTINATION share/doc/lumora-station)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/shots/ DESTINATION share/doc/lumora-station/shots FILES_MATCHING PATTERN "*.png")
