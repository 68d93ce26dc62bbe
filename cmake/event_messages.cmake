# The message table of the service's events: the message compiler turns
# service_host/vmrsmgr_events.mc into a header with the event IDs for the
# code and a resource script for vmrsmgr.exe, the program the event log reads
# the texts from (windmc with MinGW, the SDK's mc with MSVC; both take the
# same options).
if(MSVC)
  # The Windows SDK keeps mc beside rc.
  get_filename_component(VMRSMGR_RC_DIR ${CMAKE_RC_COMPILER} DIRECTORY)
  find_program(VMRSMGR_MC NAMES mc HINTS ${VMRSMGR_RC_DIR} REQUIRED)
else()
  string(REGEX REPLACE "windres([^/]*)$" "windmc\\1" VMRSMGR_MC_GUESS ${CMAKE_RC_COMPILER})
  find_program(VMRSMGR_MC NAMES ${VMRSMGR_MC_GUESS} windmc REQUIRED)
endif()

set(VMRSMGR_EVENTS_MC ${CMAKE_SOURCE_DIR}/service_host/vmrsmgr_events.mc)
set(VMRSMGR_EVENTS_DIR ${CMAKE_BINARY_DIR}/generated)
set(VMRSMGR_EVENTS_OUTPUTS ${VMRSMGR_EVENTS_DIR}/vmrsmgr_events.h
                           ${VMRSMGR_EVENTS_DIR}/vmrsmgr_events.rc ${VMRSMGR_EVENTS_DIR}/MSG00409.bin)
add_custom_command(
  OUTPUT ${VMRSMGR_EVENTS_OUTPUTS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${VMRSMGR_EVENTS_DIR}
  COMMAND ${VMRSMGR_MC} -h ${VMRSMGR_EVENTS_DIR} -r ${VMRSMGR_EVENTS_DIR} ${VMRSMGR_EVENTS_MC}
  DEPENDS ${VMRSMGR_EVENTS_MC}
  COMMENT "Compiling the event messages"
  VERBATIM)
add_custom_target(vmrsmgr_event_messages DEPENDS ${VMRSMGR_EVENTS_OUTPUTS})

# The code takes the IDs from the header; the program carries the table as a
# resource of its own, beside the version resource.
add_dependencies(vmrsmgr_lib vmrsmgr_event_messages)
target_sources(vmrsmgr PRIVATE ${VMRSMGR_EVENTS_DIR}/vmrsmgr_events.rc)
set_property(SOURCE ${VMRSMGR_EVENTS_DIR}/vmrsmgr_events.rc APPEND PROPERTY OBJECT_DEPENDS
             ${VMRSMGR_EVENTS_DIR}/MSG00409.bin)
