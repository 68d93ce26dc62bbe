# The installation tree of a release, as `cmake --install` lays it out and
# CPack packs it into vmrsmgr-<version>-win64.zip:
#   bin\vmrsmgr.exe, bin\conf\vmrsmgr.conf.example, bin\log\, README.txt,
#   CHANGELOG.txt
# No bin\conf\vmrsmgr.conf: a release unpacked over an installation must keep
# the administrator's settings. Without that file the defaults hold; the
# example holds them too, for the administrator to copy.
# The product's components are not in it: they go into the sibling folders of
# bin (dariri, devidori, zavadedad, tavrin), as README.txt says.

# Windows text files: CRLF line ends, which every Notepad shows as lines.
# Written only when the text changed, so an installation stays up to date.
function(vmrsmgr_windows_text text destination)
  string(REGEX REPLACE "\r?\n" "\r\n" text "${text}")
  if(EXISTS ${destination})
    # file(READ) drops the CR of each line end: compare the bytes.
    file(READ ${destination} old HEX)
    string(HEX "${text}" new)
    if(old STREQUAL new)
      return()
    endif()
  endif()
  file(WRITE ${destination} "${text}")
endfunction()

set(release_dir ${CMAKE_BINARY_DIR}/release-files)
file(MAKE_DIRECTORY ${release_dir})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/CHANGELOG.md
             ${CMAKE_SOURCE_DIR}/cmake/readme_txt.py ${CMAKE_SOURCE_DIR}/app/vmrsmgr.conf)

file(READ ${CMAKE_SOURCE_DIR}/app/vmrsmgr.conf conf_text)
vmrsmgr_windows_text("${conf_text}" ${release_dir}/vmrsmgr.conf.example)

# Administrators get the README up to its part for developers and the
# changelog, as plain text. The program itself builds without Python; only
# these texts need it. A version without its changelog entry is no release.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(text README CHANGELOG)
    set(options)
    if(text STREQUAL CHANGELOG)
      set(options --changelog ${PROJECT_VERSION})
    endif()
    execute_process(COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/cmake/readme_txt.py
                            ${options} ${CMAKE_SOURCE_DIR}/${text}.md ${release_dir}/${text}.txt
                    RESULT_VARIABLE text_failed ERROR_VARIABLE text_error)
    if(text_failed)
      message(FATAL_ERROR "${text}.txt cannot be made: ${text_error}")
    endif()
    install(FILES ${release_dir}/${text}.txt DESTINATION .)
  endforeach()
else()
  message(WARNING "No Python 3: the installation gets no README.txt and no CHANGELOG.txt")
endif()

install(TARGETS vmrsmgr RUNTIME DESTINATION bin)
install(FILES ${release_dir}/vmrsmgr.conf.example DESTINATION bin/conf)
# The service does not start without its log folder.
install(DIRECTORY DESTINATION bin/log)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
# bin at the zip's top: it unpacks into the product's folder.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
