# Lays out the ready application folder build/station/.
set(LUMORA_SCHEMA_FILES
  ${CMAKE_SOURCE_DIR}/src/store/schema/images.sql
  ${CMAKE_SOURCE_DIR}/src/store/schema/dosis.sql
  ${CMAKE_SOURCE_DIR}/src/store/schema/definitions.sql
  ${CMAKE_SOURCE_DIR}/src/dictionary/dictionary-tags.txt)

set(LUMORA_GENERATED_DATA ${CMAKE_BINARY_DIR}/generated/Data)
set(LUMORA_GENERATED_DATABASES
  ${LUMORA_GENERATED_DATA}/LumoraData.dat
  ${LUMORA_GENERATED_DATA}/LumoraUser.dat
  ${LUMORA_GENERATED_DATA}/LumoraDef.dat)

add_custom_command(
  OUTPUT ${LUMORA_GENERATED_DATABASES}
  COMMAND lumora-mkdb ${CMAKE_SOURCE_DIR}/src/store/schema
          ${CMAKE_SOURCE_DIR}/src/dictionary/dictionary-tags.txt ${LUMORA_GENERATED_DATA}
  DEPENDS lumora-mkdb ${LUMORA_SCHEMA_FILES}
  COMMENT "Creating the databases from the schema files"
  VERBATIM)

# The station's own files are replaced only when missing or when the schema
# changed, so what a station has stored survives ordinary rebuilds.
add_custom_target(station_data ALL
  COMMAND ${CMAKE_COMMAND} -DGENERATED=${LUMORA_GENERATED_DATA} -DSTATION=${LUMORA_STATION_DIR}/Data
          "-DSCHEMA=${LUMORA_SCHEMA_FILES}" -P ${CMAKE_SOURCE_DIR}/cmake/InstallStationData.cmake
  DEPENDS ${LUMORA_GENERATED_DATABASES}
  VERBATIM)

add_custom_command(
  OUTPUT ${LUMORA_STATION_DIR}/projection.ini ${LUMORA_STATION_DIR}/orvana.jpg
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/assets/projection.ini ${LUMORA_STATION_DIR}/projection.ini
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/assets/orvana.jpg ${LUMORA_STATION_DIR}/orvana.jpg
  DEPENDS ${CMAKE_SOURCE_DIR}/assets/projection.ini ${CMAKE_SOURCE_DIR}/assets/orvana.jpg
  VERBATIM)

add_custom_target(station ALL
  DEPENDS station_data ${LUMORA_STATION_DIR}/projection.ini ${LUMORA_STATION_DIR}/orvana.jpg
          OrvanaMammo LumoraReceiver LumoraDataMgr)
