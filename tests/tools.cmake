# Tests of the recorder, the player and the code they share.

set(RTPTOOLS_TESTS ${CMAKE_CURRENT_LIST_DIR})

# Dump files, RTP packets and sockets for the tests below.
add_library(rtptestsupport STATIC ${RTPTOOLS_TESTS}/udp_helpers.cpp)
target_link_libraries(rtptestsupport PUBLIC rtptools testsupport GTest::gtest)
target_compile_definitions(rtptestsupport PRIVATE TOOLS_BIN_DIR="$<TARGET_FILE_DIR:rtpdump>")

add_executable(rtptools_unit_tests ${RTPTOOLS_TESTS}/args_test.cpp ${RTPTOOLS_TESTS}/dumpfile_test.cpp ${RTPTOOLS_TESTS}/net_test.cpp
  ${RTPTOOLS_TESTS}/readahead_test.cpp ${RTPTOOLS_TESTS}/summary_test.cpp)
target_link_libraries(rtptools_unit_tests PRIVATE rtptestsupport GTest::gtest_main)
gtest_discover_tests(rtptools_unit_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)

add_executable(rtptools_e2e_tests
  ${RTPTOOLS_TESTS}/rtpdump_test.cpp
  ${RTPTOOLS_TESTS}/rtpplay_test.cpp
  ${RTPTOOLS_TESTS}/multicast_test.cpp
  ${RTPTOOLS_TESTS}/confrec_tools_test.cpp
  ${RTPTOOLS_TESTS}/install_test.cpp
  ${RTPTOOLS_TESTS}/faults_test.cpp
  ${RTPTOOLS_TESTS}/soak_test.cpp)
target_link_libraries(rtptools_e2e_tests PRIVATE rtptestsupport GTest::gtest_main)
target_compile_definitions(rtptools_e2e_tests PRIVATE
  RTPDUMP_BIN="$<TARGET_FILE:rtpdump>"
  RTPPLAY_BIN="$<TARGET_FILE:rtpplay>"
  RTPINFO_BIN="$<TARGET_FILE:rtpinfo>"
  CONFREC_BIN="$<TARGET_FILE:confrec>"
  CMAKE_BIN="${CMAKE_COMMAND}"
  BUILD_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(rtptools_e2e_tests rtpdump rtpplay rtpinfo confrec)
gtest_discover_tests(rtptools_e2e_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)

# The man pages, as mandoc sees them (tests/run installs it).
file(GLOB MAN_PAGES ${CMAKE_SOURCE_DIR}/man/*.1)
add_test(NAME man_pages_lint COMMAND mandoc -T lint -W warning ${MAN_PAGES})
