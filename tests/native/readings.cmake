# Tests of the reading model and the source layer: formats, the hwmon and file sources on
# fixture trees, and the refresher (threads: also run under ThreadSanitizer).
vorn_test(readings_format_test SOURCES readings_format_test.cpp LIBS vorn_readings
          LABELS readings)
vorn_test(readings_refresher_test SOURCES readings_refresher_test.cpp LIBS vorn_readings
          LABELS readings threads)
# The hwmon tests read the mapping through the agent's configuration parser and watch its log.
vorn_test(readings_hwmon_test SOURCES readings_hwmon_test.cpp LIBS vorn_agent_test_support
          LABELS readings)
