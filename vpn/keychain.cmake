# The Secret Service keychain; libsecret is the desktop's own client library for it.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET GLOBAL libsecret-1)
target_sources(kestrava_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/secret_service_keychain.h
    ${CMAKE_CURRENT_LIST_DIR}/secret_service_keychain.cpp)
target_link_libraries(kestrava_core PUBLIC PkgConfig::LIBSECRET)
