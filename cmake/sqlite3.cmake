# SQLite as one target, SQLite::SQLite3, whatever the build: Debian's libsqlite3 natively, and for
# Windows the static library that scripts/setup builds from Debian's source of that same version.

if(CMAKE_CROSSCOMPILING AND WIN32)
    set(vantrel_sqlite3 ${CMAKE_CURRENT_LIST_DIR}/../build/deps/sqlite3-mingw)
    cmake_path(NORMAL_PATH vantrel_sqlite3)
    if(NOT EXISTS ${vantrel_sqlite3}/libsqlite3.a OR NOT EXISTS ${vantrel_sqlite3}/sqlite3.h)
        message(FATAL_ERROR "SQLite for MinGW-w64 is not built (no ${vantrel_sqlite3}/"
                            "libsqlite3.a): run scripts/setup")
    endif()
    add_library(SQLite::SQLite3 STATIC IMPORTED)
    set_target_properties(SQLite::SQLite3 PROPERTIES
        IMPORTED_LOCATION ${vantrel_sqlite3}/libsqlite3.a
        INTERFACE_INCLUDE_DIRECTORIES ${vantrel_sqlite3})
else()
    find_package(SQLite3 REQUIRED)
endif()
