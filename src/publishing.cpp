// The offers of the grab loops' GIL work to the threads that ask.
#include "publishing.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace zun {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::steady_clock;

constexpr nanoseconds short_wait = microseconds(200), long_wait = milliseconds(100);

long now_ns() { return steady_clock::now().time_since_epoch().count(); }

// The loops whose offers asking threads look for, read and written with the
// GIL held.
std::vector<Offers *> &registry() {
    static auto *loops = new std::vector<Offers *>;  // asked up to the interpreter's very end
    return *loops;
}

// Nothing wakes a waiting grab thread: a wake-up from an asking thread would
// let the scheduler run the grab thread on the asking thread's processor in
// the middle of its ask.  The grab thread looks at the state instead, after
// pauses that grow from tens of microseconds to a millisecond: an offer
// taken at once is seen at once, and a long wait costs a thousand looks a
// second.
class Pauses {
public:
    void pause(nanoseconds most) {
        std::this_thread::sleep_for(std::min(next_, most));
        next_ = std::min(2 * next_, nanoseconds(milliseconds(1)));
    }

private:
    nanoseconds next_ = microseconds(20);
};

// The interpreter's switch interval, as sys.getswitchinterval gives it, or
// `otherwise`.
long switch_interval_us(long otherwise) noexcept {
    PyObject *get = PySys_GetObject("getswitchinterval");  // borrowed
    PyObject *seconds = get ? PyObject_CallObject(get, nullptr) : nullptr;
    double value = seconds ? PyFloat_AsDouble(seconds) : -1;
    Py_XDECREF(seconds);
    PyErr_Clear();  // a replaced sys: the interval seen last
    return value >= 0 ? static_cast<long>(value * 1e6) : otherwise;
}

}  // namespace

Offers *Offers::open(py::handle self, Helped &work) {
    std::unique_ptr<Offers> made(new Offers(self, work));
    registry().push_back(made.get());
    return made.release();
}

void Offers::close() {
    std::vector<Offers *> &loops = registry();
    loops.erase(std::find(loops.begin(), loops.end(), this));
    delete this;
}

bool Offers::offer() {
    unsigned asks = asks_.load();
    long since = now_ns();
    bool asking = asks != asks_seen_ || since - last_taken_ns_.load() < nanoseconds(long_wait).count();
    asks_seen_ = asks;
    state_.store(offered);
    Pauses pauses;
    int state;
    while ((state = state_.load()) == offered || state == busy) {
        // Read afresh: an asking thread may have seen the interval change.
        long wait = asking ? std::max(switch_us_.load() * 1000, long(nanoseconds(long_wait).count()))
                           : long(short_wait.count());
        long left = since + wait - now_ns();
        if (state == offered && left <= 0) return false;
        pauses.pause(nanoseconds(state == busy ? long(nanoseconds(milliseconds(1)).count()) : left));
    }
    state_.store(idle);
    return state == helped_all;
}

void Offers::wait_while_busy() {
    Pauses pauses;
    while (state_.load() == busy) pauses.pause(milliseconds(1));
}

void Offers::abandon() {
    int state = state_.load();
    while (true) {
        if (state == busy) {
            wait_while_busy();
            state = state_.load();
        } else if (state_.compare_exchange_weak(state, closed)) {
            return;
        }
    }
}

void Offers::ask(py::handle self) noexcept {
    for (Offers *offers : registry()) {
        if (offers->self_ != self.ptr()) continue;
        offers->asks_.fetch_add(1);
        offers->switch_us_.store(switch_interval_us(offers->switch_us_.load()));
        int expected = offered;
        if (!offers->state_.compare_exchange_strong(expected, busy)) continue;
        offers->last_taken_ns_.store(now_ns());
        offers->state_.store(offers->work_.help() ? helped_all : helped_part);
    }
}

}  // namespace zun
