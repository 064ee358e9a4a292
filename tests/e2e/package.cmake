# The shipped programs from the unpacked zip under Wine (after package_windows_zip, which
# leaves the zip unpacked in vorn_zip_unpacked/vorn_zip_top; see cmake/packaging.cmake).
vorn_e2e_test(e2e_package_zip SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e_package.cpp)
file(TO_NATIVE_PATH "${vorn_zip_unpacked}/${vorn_zip_top}" vorn_zip_dir)
string(REPLACE "/" "\\\\" vorn_zip_dir "Z:${vorn_zip_dir}")
set_property(TEST e2e_package_zip APPEND PROPERTY ENVIRONMENT "VORN_UNPACKED_ZIP=${vorn_zip_dir}")
set_property(TEST e2e_package_zip APPEND PROPERTY FIXTURES_REQUIRED vorn_zip)
