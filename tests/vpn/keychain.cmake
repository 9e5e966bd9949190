add_executable(secret_service_keychain_test ${CMAKE_CURRENT_LIST_DIR}/secret_service_keychain_test.cpp)
target_link_libraries(secret_service_keychain_test PRIVATE kestrava_test_support)
add_test(NAME secret_service_keychain_test
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/keyring_session.sh $<TARGET_FILE:secret_service_keychain_test>)
# The same cases with no session bus at all: every call must give up within its bound.
add_test(NAME secret_service_keychain_no_bus_test COMMAND secret_service_keychain_test)
set_tests_properties(secret_service_keychain_test secret_service_keychain_no_bus_test PROPERTIES
    LABELS keychain TIMEOUT 300)
set_tests_properties(secret_service_keychain_test PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
set_tests_properties(secret_service_keychain_no_bus_test PROPERTIES ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen;KESTRAVA_TEST_NO_BUS=1;DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/kestrava-bus")
