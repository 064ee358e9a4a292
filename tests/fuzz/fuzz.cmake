# libFuzzer targets for the parsers that take outside input: the agent's request parser, the
# plug-in's reply parser, the agent's configuration parser, its readings-file parser and
# HWiNFO's shared-memory parser.
# Built by the "fuzz" preset, which compiles everything with clang and
# -fsanitize=fuzzer-no-link plus ASan and UBSan; scripts/fuzz.sh runs them on tests/fuzz/corpus.
set(VORN_FUZZ_TARGETS fuzz_request fuzz_reply fuzz_config fuzz_readings fuzz_hwinfo)
foreach(target ${VORN_FUZZ_TARGETS})
    add_executable(${target} ${PROJECT_SOURCE_DIR}/tests/fuzz/${target}.cpp)
    target_link_libraries(${target} PRIVATE vorn_agent_core vorn_readings vorn_protocol
                          vorn_hwinfo_memory)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    vorn_warnings(${target})
endforeach()
add_custom_target(fuzz_targets DEPENDS ${VORN_FUZZ_TARGETS})
