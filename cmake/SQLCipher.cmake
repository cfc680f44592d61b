# SQLCipher 4 from its amalgamation: the one SQLite of the process (settings store, Mixxx,
# rekordbox's encrypted master.db). Two libraries exporting sqlite3_* in one process would fight
# over the same symbols, so nothing may link the system's libsqlite3.
set(SQLCIPHER_DIR ${CMAKE_SOURCE_DIR}/third_party/node_modules/@commapp/sqlcipher-amalgamation/src)
if(NOT EXISTS ${SQLCIPHER_DIR}/sqlite3.c)
  message(STATUS "SQLCipher source missing; fetching it with scripts/third_party.sh")
  execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/third_party.sh RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT EXISTS ${SQLCIPHER_DIR}/sqlite3.c)
    message(FATAL_ERROR "SQLCipher source not found in ${SQLCIPHER_DIR}: run scripts/bootstrap.sh")
  endif()
endif()

add_library(floorvote_sqlite STATIC ${SQLCIPHER_DIR}/sqlite3.c)
target_include_directories(floorvote_sqlite SYSTEM PUBLIC ${SQLCIPHER_DIR})
target_compile_definitions(floorvote_sqlite
  PUBLIC SQLITE_HAS_CODEC
  PRIVATE SQLCIPHER_CRYPTO_OPENSSL SQLITE_TEMP_STORE=2 SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION
         )
# Third-party C: its own warnings are not ours; optimised even in debug builds (it is hot in the
# rekordbox export and compiles once thanks to ccache).
target_compile_options(floorvote_sqlite PRIVATE -w -O2)
target_link_libraries(floorvote_sqlite PUBLIC OpenSSL::Crypto Threads::Threads ${CMAKE_DL_LIBS} m)
# Code written against the usual target name gets this library.
add_library(SQLite::SQLite3 ALIAS floorvote_sqlite)
