// Entry of the CDEV agent.
#include <cstdio>

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s <device> <listen_port> [bind_retry_count]\n", argv[0]);
    }
    return 0;
}
