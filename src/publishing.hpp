// Whoever holds the GIL publishes.
//
// A grab thread that has let go of the GIL must win it back, which while the
// application runs Python can cost it several switch intervals, and every
// thread that asks for the frame meanwhile would either wait for it or see
// an older frame.  Instead, once a pass's GIL-free stretch is done, the grab
// thread offers the pass's GIL work (making the frame, storing it and its
// flags, the look-ups of the next pass) to the threads that ask
// (getFlagAndFrame, saveFrame, stop), and waits: an asking thread that finds
// the offer does the work with the GIL it holds anyway, never letting go of
// it, and the grab thread goes on to its next retrieval without taking the
// GIL.  An asking thread does only what runs none of the application's code,
// cannot let go of the GIL and raises nothing; the rest, and all of it when
// nobody asks in time, is the grab thread's, with the GIL it takes then.
#pragma once

#include <atomic>

#include "common.hpp"

namespace zun {

// A grab loop's GIL work, as an asking thread does it.
class Helped {
public:
    // With the GIL, on an asking thread: the part of the offered work that
    // the loop lets an asking thread do.  True when nothing is left for the
    // grab thread.
    virtual bool help() noexcept = 0;

protected:
    ~Helped() = default;
};

// One grab loop's offers.  Opened and closed with the GIL held.
class Offers {
public:
    enum State : int {
        idle,         // nothing offered: the grab thread is in its stretch, or holds the GIL
        offered,      // the grab thread waits for an asking thread, or for the GIL
        busy,         // an asking thread does the work
        helped_all,   // it did all of it
        helped_part,  // it did part of it
        closed,       // the loop is gone: nothing is offered again
    };

    static Offers *open(py::handle self, Helped &work);  // asks about `self` find it from now on
    void close();                                         // and no more; deletes it

    // Without the GIL: offers the pass's GIL work and waits for an asking
    // thread to do it.  While threads ask (one asked since the last offer,
    // or took one in the last 100 ms) the wait lasts up to 100 ms, and at
    // least the interpreter's switch interval: winning the GIL back among
    // threads that run Python would take about as long, and would cost them
    // the GIL.  While nobody asks, it lasts a fraction of a millisecond.
    // True when an asking thread did all of the work; else the grab thread
    // takes the GIL and calls withdraw.  The offer stays open meanwhile.
    bool offer();
    // With the GIL: ends the offer.  An asking thread may have done part of
    // the work meanwhile (the loop knows how far it got).  An asking thread
    // cannot let go of the GIL in the middle of the work; should one, this
    // thread waits for it without the GIL rather than hold the GIL against it.
    template <class Abandon>
    void withdraw(Abandon &&abandon) {
        while (state_.load() == busy) without_gil([&] { wait_while_busy(); }, abandon);
        state_.store(idle);
    }
    // Without the GIL, when the interpreter ends the grab thread: no asking
    // thread enters the loop again.  The offers are forgotten, not freed.
    void abandon();

    // Asking threads, with the GIL held: do the offered work of `self`'s
    // grab loop, if it offers any.
    static void ask(py::handle self) noexcept;

private:
    Offers(py::handle self, Helped &work) : self_(self.ptr()), work_(work) {}
    void wait_while_busy();

    PyObject *self_;
    Helped &work_;
    std::atomic<int> state_{idle};
    std::atomic<unsigned> asks_{0};
    std::atomic<long> switch_us_{5000};    // the interpreter's switch interval, as asking threads saw it
    std::atomic<long> last_taken_ns_{0};  // when an asking thread took an offer last
    unsigned asks_seen_ = 0;               // the grab thread's: the asks it had seen at its last offer
};

// Called by the threads that ask about the camera object `self`, with the
// GIL held: does the GIL work its grab loop offers, if it offers any.
inline void help_grab_loop(py::handle self) noexcept { Offers::ask(self); }

}  // namespace zun
