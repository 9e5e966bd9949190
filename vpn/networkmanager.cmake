# NetworkManager with its strongSwan plugin over the system bus (QtDBus, linked by the core).
target_sources(kestrava_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/networkmanager_facility.h
    ${CMAKE_CURRENT_LIST_DIR}/networkmanager_facility.cpp)
