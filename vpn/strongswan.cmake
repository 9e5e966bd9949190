# charon over its VICI socket; no library beyond Qt: the wire format is spoken directly.
target_sources(kestrava_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/vici_client.h
    ${CMAKE_CURRENT_LIST_DIR}/vici_client.cpp
    ${CMAKE_CURRENT_LIST_DIR}/strongswan_facility.h
    ${CMAKE_CURRENT_LIST_DIR}/strongswan_facility.cpp
)
