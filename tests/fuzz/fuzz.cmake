# libFuzzer targets for the parsers that take outside input: the agent's request parser, the
# plug-in's reply parser, the agent's configuration parser, its readings-file parser, the
# Prometheus exposition parser, HWiNFO's shared-memory parser and the metrics endpoint's HTTP
# request reader, the history file's loader and the plug-in's history page parser.
# Built by the "fuzz" preset, which compiles everything with clang and
# -fsanitize=fuzzer-no-link plus ASan and UBSan; scripts/fuzz.sh runs them on tests/fuzz/corpus.
set(VORN_FUZZ_TARGETS fuzz_request fuzz_reply fuzz_config fuzz_readings fuzz_hwinfo
    fuzz_metrics_request fuzz_history fuzz_history_reply)
foreach(target ${VORN_FUZZ_TARGETS})
    add_executable(${target} ${PROJECT_SOURCE_DIR}/tests/fuzz/${target}.cpp)
    target_link_libraries(${target} PRIVATE vorn_agent_core vorn_readings vorn_protocol
                          vorn_hwinfo_memory vorn_history)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    vorn_warnings(${target})
endforeach()
# The Prometheus exposition parser, which reads whatever an HTTP server sends.
add_executable(fuzz_exposition ${PROJECT_SOURCE_DIR}/tests/fuzz/fuzz_exposition.cpp)
target_link_libraries(fuzz_exposition PRIVATE vorn_readings)
target_link_options(fuzz_exposition PRIVATE -fsanitize=fuzzer)
vorn_warnings(fuzz_exposition)
list(APPEND VORN_FUZZ_TARGETS fuzz_exposition)
add_custom_target(fuzz_targets DEPENDS ${VORN_FUZZ_TARGETS})
