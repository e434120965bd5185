// Connection nodes and lists, including pushes that race with a detach.
#include "common/conn_node.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

std::vector<conn_node *> walk(conn_list *list) {
    std::vector<conn_node *> nodes;
    for (conn_node *n = get_list_head(list); n != nullptr; n = n->next) {
        nodes.push_back(n);
    }
    return nodes;
}

struct test_list {
    conn_list list;
    test_list() { init_list(&list); }
    ~test_list() {
        while (conn_node *n = get_list_head(&list)) {
            free_node(detach_node_fast(&list, nullptr, n));
        }
        pthread_rwlock_destroy(&list.rwlock);
    }
    conn_node *push(int fd) {
        conn_node *n = alloc_node(fd, -1);
        add_to_head(&list, n);
        return n;
    }
};

TEST(ConnNode, PushAndDetach) {
    test_list t;
    EXPECT_EQ(-1, add_to_head(&t.list, nullptr));
    EXPECT_EQ(nullptr, get_list_head(&t.list));
    conn_node stranger;
    EXPECT_EQ(1, detach_one_node(&t.list, &stranger));

    conn_node *a = t.push(-1);
    conn_node *b = t.push(-1);
    conn_node *c = t.push(-1);
    conn_node *d = t.push(-1);
    EXPECT_EQ((std::vector<conn_node *>{d, c, b, a}), walk(&t.list));
    EXPECT_EQ(1, detach_one_node(&t.list, &stranger));

    EXPECT_EQ(d, detach_node_fast(&t.list, nullptr, d));  // head
    EXPECT_EQ(nullptr, d->next);
    EXPECT_EQ((std::vector<conn_node *>{c, b, a}), walk(&t.list));
    EXPECT_EQ(0, detach_one_node(&t.list, b));  // middle
    EXPECT_EQ(nullptr, b->next);
    EXPECT_EQ((std::vector<conn_node *>{c, a}), walk(&t.list));
    detach_node_fast(&t.list, c, a);  // tail
    EXPECT_EQ((std::vector<conn_node *>{c}), walk(&t.list));
    EXPECT_EQ(0, detach_one_node(&t.list, c));  // only node
    EXPECT_EQ(nullptr, get_list_head(&t.list));
    EXPECT_EQ(1, detach_one_node(&t.list, c));
    for (conn_node *n : {a, b, c, d}) free_node(n);
}

// The walker saw `seen` as the head; a node pushed since must survive the
// detach with a null predecessor, and a stale predecessor is only a hint.
TEST(ConnNode, DetachKeepsNodesPushedSinceTheWalk) {
    test_list t;
    conn_node *tail = t.push(-1);
    conn_node *seen = t.push(-1);
    conn_node *pushed = nullptr;
    std::thread([&] { pushed = t.push(-1); }).join();
    detach_node_fast(&t.list, nullptr, seen);
    EXPECT_EQ((std::vector<conn_node *>{pushed, tail}), walk(&t.list));
    free_node(seen);

    conn_node *wrong_prev = alloc_node(-1, -1);
    detach_node_fast(&t.list, wrong_prev, tail);
    EXPECT_EQ((std::vector<conn_node *>{pushed}), walk(&t.list));
    free_node(tail);
    free_node(wrong_prev);
}

// One thread pushes while another keeps detaching whatever head it sees:
// every node must be detached exactly once or still be on the list.
TEST(ConnNode, ConcurrentPushesAreNeverLost) {
    constexpr int NODES = 2000;
    test_list t;
    t.push(-1);
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        for (int i = 1; i < NODES; i++) {
            t.push(-1);
            std::this_thread::yield();
        }
        done = true;
    });
    int detached = 0;
    while (!done || get_list_head(&t.list) != nullptr) {
        conn_node *head = get_list_head(&t.list);
        if (head == nullptr) {
            continue;
        }
        while (!done && get_list_head(&t.list) == head) {
            std::this_thread::yield();  // wait for a push to land in front of it
        }
        free_node(detach_node_fast(&t.list, nullptr, head));
        detached++;
    }
    pusher.join();
    EXPECT_EQ(NODES, detached);
}

}  // namespace
