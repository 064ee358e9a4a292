# The Prometheus side of the reading layer: the exposition parser, series selectors and
# automatic mapping, the source, and the HTTP client behind http_get.h (libcurl natively;
# WinHTTP for Windows, in http_get_winhttp.cpp).
target_sources(vorn_readings PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/exposition.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_cancel.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_url.cpp
    ${CMAKE_CURRENT_LIST_DIR}/prometheus_mapping.cpp
    ${CMAKE_CURRENT_LIST_DIR}/prometheus_source.cpp)
if(WIN32)
    target_sources(vorn_readings PRIVATE ${CMAKE_CURRENT_LIST_DIR}/http_get_winhttp.cpp)
    target_link_libraries(vorn_readings PUBLIC winhttp)
else()
    find_package(CURL REQUIRED)
    target_sources(vorn_readings PRIVATE ${CMAKE_CURRENT_LIST_DIR}/http_get_curl.cpp)
    # Only the headers: the library is loaded on the first GET (see http_get_curl.cpp).
    target_include_directories(vorn_readings SYSTEM PRIVATE ${CURL_INCLUDE_DIRS})
    target_link_libraries(vorn_readings PUBLIC ${CMAKE_DL_LIBS})
endif()
