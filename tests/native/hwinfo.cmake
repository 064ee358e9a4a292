# HWiNFO's shared memory: the parser over byte buffers (both layouts, damaged memory) and the
# hwinfo source over memory handed to it.
vorn_test(hwinfo_memory_test SOURCES hwinfo_memory_test.cpp LIBS vorn_hwinfo_image LABELS agent)
vorn_test(hwinfo_source_test SOURCES hwinfo_source_test.cpp LIBS vorn_readings vorn_hwinfo_image
          LABELS readings)
vorn_test(hwinfo_gadget_test SOURCES hwinfo_gadget_test.cpp LIBS vorn_readings vorn_hwinfo_image
          LABELS readings)
