# The ZIP a Windows user unzips and runs: both programs, a sample memo.ini, a Japanese read-me and
# the licence.
# The text files are kept in UTF-8 with LF in the repository and turned into what Japanese Windows
# and the client expect, Shift-JIS with CRLF, at build time.

find_program(VANTREL_ICONV iconv REQUIRED)

set(vantrel_package_text ${PROJECT_BINARY_DIR}/package-text)
set(vantrel_package_files)
foreach(name memo.ini readme-ja.txt LICENSE.txt)
    if(name STREQUAL "memo.ini")
        set(template ${PROJECT_SOURCE_DIR}/resources/memo.ini.in)
    elseif(name STREQUAL "LICENSE.txt")
        # With an extension, so that a double-click opens it in Notepad.
        set(template ${PROJECT_SOURCE_DIR}/LICENSE)
    else()
        set(template ${PROJECT_SOURCE_DIR}/resources/${name})
    endif()
    # configure_file fills in the version and gives the CRLF line ends; iconv then changes only
    # the encoding, and fails the build on a character code page 932 cannot hold.
    configure_file(${template} ${vantrel_package_text}/utf-8/${name} @ONLY NEWLINE_STYLE CRLF)
    add_custom_command(
        OUTPUT ${vantrel_package_text}/${name}
        COMMAND ${VANTREL_ICONV} -f UTF-8 -t CP932 -o ${vantrel_package_text}/${name}
                ${vantrel_package_text}/utf-8/${name}
        DEPENDS ${vantrel_package_text}/utf-8/${name}
        COMMENT "Converting ${name} to Shift-JIS"
        VERBATIM)
    list(APPEND vantrel_package_files ${vantrel_package_text}/${name})
endforeach()
# Part of "all": install() adds no build dependency, and cpack only installs what the build tree
# already holds.
add_custom_target(vantrel_package_text ALL DEPENDS ${vantrel_package_files})

install(TARGETS vantrel vantrel-server RUNTIME DESTINATION .)
install(FILES ${vantrel_package_files} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME vantrel)
set(CPACK_PACKAGE_VENDOR "Vantrel Project")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vantrel group chat client and server for Windows")
set(CPACK_PACKAGE_FILE_NAME vantrel-${PROJECT_VERSION}-win64)
# Unzipping gives one folder, vantrel-<version>-win64, not four loose files.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The debug information of RelWithDebInfo has no use on a user's machine.
set(CPACK_STRIP_FILES ON)
include(CPack)
