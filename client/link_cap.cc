// The cap's checks and its two lines.
#include "client/link_cap.h"

#include <string>

#include "client/link_report.h"

namespace {

// "1 link", "2 links".
std::string count_text(uint64_t n, const char *things) {
    std::string plural = things;
    return std::to_string(n) + " " + (n == 1 ? plural.substr(0, plural.size() - 1) : plural);
}

}  // namespace

bool admit(LinkCap *cap, size_t running) {
    if (running < cap->limit) {
        return true;
    }
    if (cap->refused++ == 0) {
        print_note(count_text(cap->limit, cap->links) + " at once, the most -m allows: new " +
                   cap->clients + " " + cap->refusal + " until one ends");
    }
    return false;
}

void note_room(LinkCap *cap, size_t running) {
    if (cap->refused > 0 && running < cap->limit) {
        print_note(count_text(cap->refused, cap->clients) + " " + cap->refusal + " at the cap of " +
                   count_text(cap->limit, cap->links));
        cap->refused = 0;
    }
}
