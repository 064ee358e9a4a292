# HWiNFO's shared-memory parser over byte buffers: both layouts and damaged memory.
vorn_test(hwinfo_memory_test SOURCES hwinfo_memory_test.cpp LIBS vorn_hwinfo_image LABELS agent)
