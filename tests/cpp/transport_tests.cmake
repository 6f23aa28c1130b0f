# Transport tests, included from this directory's CMakeLists.txt.
#
# rotalink_transport_tests: the request/reply exchange on an in-memory
# transport, the SocketCAN backend on a socket pair (any Linux host) and the
# bus lock.
# rotalink_vcan_tests: the backend on a real CAN interface (vcan0, or the one
# named by ROTALINK_TEST_IFACE). Skipped where the kernel has no SocketCAN
# or the interface is missing, unless ROTALINK_REQUIRE_CAN=1. The tests run
# one at a time: one of them takes the interface down and up again.
# ctest -L transport / ctest -L vcan select them.
find_package(Threads REQUIRED)

add_executable(rotalink_transport_tests
  ${CMAKE_CURRENT_LIST_DIR}/test_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_socketcan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_shared_bus.cpp
)
target_link_libraries(rotalink_transport_tests PRIVATE
  rotalink_core GTest::gtest GTest::gtest_main Threads::Threads)
target_include_directories(rotalink_transport_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(rotalink_transport_tests PRIVATE -Wall -Wextra)
gtest_discover_tests(rotalink_transport_tests DISCOVERY_TIMEOUT 60 PROPERTIES LABELS transport)

add_executable(rotalink_vcan_tests ${CMAKE_CURRENT_LIST_DIR}/test_vcan.cpp)
target_link_libraries(rotalink_vcan_tests PRIVATE
  rotalink_core GTest::gtest GTest::gtest_main Threads::Threads)
target_include_directories(rotalink_vcan_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_options(rotalink_vcan_tests PRIVATE -Wall -Wextra)
gtest_discover_tests(rotalink_vcan_tests DISCOVERY_TIMEOUT 60
                     PROPERTIES RUN_SERIAL TRUE LABELS vcan)
