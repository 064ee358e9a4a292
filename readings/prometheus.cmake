# The Prometheus side of the reading layer: the exposition parser, the URL helpers and the
# HTTP client (libcurl natively; WinHTTP for Windows, in http_get_winhttp.cpp).
add_library(vorn_readings_prom STATIC
    ${CMAKE_CURRENT_LIST_DIR}/exposition.cpp
    ${CMAKE_CURRENT_LIST_DIR}/http_url.cpp)
target_include_directories(vorn_readings_prom PUBLIC ${PROJECT_SOURCE_DIR})
if(WIN32)
    if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/http_get_winhttp.cpp)
        target_sources(vorn_readings_prom PRIVATE ${CMAKE_CURRENT_LIST_DIR}/http_get_winhttp.cpp)
        target_link_libraries(vorn_readings_prom PUBLIC winhttp)
    endif()
else()
    find_package(CURL REQUIRED)
    target_sources(vorn_readings_prom PRIVATE ${CMAKE_CURRENT_LIST_DIR}/http_get_curl.cpp)
    target_link_libraries(vorn_readings_prom PUBLIC CURL::libcurl)
endif()
vorn_warnings(vorn_readings_prom)
