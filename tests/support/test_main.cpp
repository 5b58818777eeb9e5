// main() of every test program: Winsock is up for the whole run, as it is in
// the service host.
#include <winsock2.h>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    WSACleanup();
    return result;
}
