#include "virtual_clock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace kelvex::clock {
namespace {

// Sequentially consistent: a party changes its state and then looks at the
// simulator's counts and sim_asleep; the simulator changes those and then
// looks at the states. One of the two sees the other's change.
State state_of(const Party& p) { return static_cast<State>(p.state.load(std::memory_order_seq_cst)); }

int64_t to_ns(double s) { return static_cast<int64_t>(s * 1e9); }

// A process between exec and its new image's start holds no life byte: it
// is taken for gone only when none is held this long.
constexpr int64_t kExecGraceNs = 200000000;
// A party that has not changed for this long is looked at: is it alive?
constexpr int64_t kDeadLookNs = 50000000;

}  // namespace

VirtualClock::VirtualClock(const ClockConfig& c)
    : path_(c.dir + "/clock"),
      speed_(c.speed),
      bound_ns_(to_ns(c.bound_s)),
      running_bound_ns_(to_ns(c.running_bound_s)),
      pid_(getpid())
{
    seg_ = create_segment(path_.c_str(), c.line_rdev, bound_ns_, c.ground.c_str());
    if (!seg_) {
        throw std::system_error(errno, std::generic_category(), "virtual clock " + path_);
    }
    // Read and write: the FIFO never reports end of file while we hold it.
    bell_ = common::UniqueFd(open((path_ + bell_suffix()).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!bell_.valid()) {
        throw std::system_error(errno, std::generic_category(), "virtual clock doorbell");
    }
    // Held read and write, like the doorbell: its readers never see it hang up.
    turn_ = common::UniqueFd(open((path_ + turn_suffix()).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!turn_.valid()) {
        throw std::system_error(errno, std::generic_category(), "virtual clock turn FIFO");
    }
    file_ = common::UniqueFd(open(path_.c_str(), O_RDWR | O_CLOEXEC));
    if (!file_.valid()) {
        throw std::system_error(errno, std::generic_category(), "virtual clock " + path_);
    }
    anchor_real_ = real_ns();
}

VirtualClock::~VirtualClock()
{
    if (real_paced_) {
        // A stretch at the wall's pace still running at the end counts too:
        // the run's record reads the clock's file, not this object.
        seg_->fallback_ns.fetch_add(real_ns() - real_fallback_start_);
    }
    unmap_segment(seg_);
    unlink(path_.c_str());
    unlink((path_ + bell_suffix()).c_str());
    unlink((path_ + turn_suffix()).c_str());
}

void VirtualClock::drain_bell()
{
    char buf[256];
    while (::read(bell_.get(), buf, sizeof buf) > 0) {
    }
}

bool VirtualClock::leader_gone() const
{
    return leader_ != nullptr && leader_->pid.load() != pid_ && state_of(*leader_) == State::Free;
}

void VirtualClock::expect_child(pid_t owner)
{
    if (owner == 0) {
        owner = pid_;
    }
    for (Party& p : seg_->parties) {
        uint32_t free = static_cast<uint32_t>(State::Free);
        if (!p.state.compare_exchange_strong(free, static_cast<uint32_t>(State::Running))) {
            continue;
        }
        p.pid.store(pid_);
        p.tid.store(pid_);
        p.owner.store(owner);
        p.life.store(-1);  // its process takes the slot and its own life
        p.deadline.store(kNever);
        p.since.store(real_ns());
        const uint32_t i = static_cast<uint32_t>(&p - seg_->parties);
        if (seg_->top.load() < i + 1) {
            seg_->top.store(i + 1);
        }
        p.state.store(static_cast<uint32_t>(State::Pending), std::memory_order_release);
        if (leader_ == nullptr) {
            leader_ = &p;
        }
        return;
    }
}

void VirtualClock::set_ground(const std::string& address)
{
    std::strncpy(seg_->ground, address.c_str(), sizeof seg_->ground - 1);
}

void VirtualClock::release_exits()
{
    for (Party& p : seg_->parties) {
        if (state_of(p) == State::ExitHold && p.owner.load() == pid_) {
            p.state.store(static_cast<uint32_t>(State::Free));
        }
    }
}

void VirtualClock::sent(size_t n)
{
    seg_->sim_tx.fetch_add(n);
    // A party asleep until bytes come looks again. One that is not asleep
    // sees the count (it says it sleeps before it looks at the count, and we
    // look after counting): it waits on the line itself, and the kernel
    // wakes it when the bytes are there.
    if (seg_->line_sleepers.load() != 0) {
        seg_->seq.fetch_add(1);
        futex_wake_all(&seg_->seq);
    }
}

bool VirtualClock::dead(const Party& p)
{
    // By process: a thread that ends lets its slot go itself. Not by pid:
    // a sealed mission's pids are its own PID namespace's.
    const int32_t byte = p.life.load();
    const size_t i = static_cast<size_t>(&p - seg_->parties);
    if (byte < 0 || life_held(file_.get(), byte)) {
        unheld_since_[i] = 0;
        return false;
    }
    if (state_of(p) == State::ExitHold) {
        return true;  // it ended: no exec to wait for
    }
    const int64_t real = real_ns();
    if (unheld_since_[i] == 0 || unheld_byte_[i] != byte) {
        unheld_since_[i] = real;
        unheld_byte_[i] = byte;
        return false;
    }
    // Unheld for a while with the same byte: not an exec in progress.
    return real - unheld_since_[i] > kExecGraceNs;
}

void VirtualClock::fallback(const std::string& why)
{
    // In the clock's file, where the run reads it for run.json.
    seg_->fallbacks.fetch_add(1);
    if (note_.empty()) {
        note_ = why;
        std::strncpy(seg_->fallback_note, why.c_str(), sizeof seg_->fallback_note - 1);
    }
}

VirtualClock::Scan VirtualClock::scan_parties(int64_t own_due_ns, int64_t real)
{
    Scan scan{own_due_ns, false, false, false, false};
    const uint32_t top = seg_->top.load();
    for (uint32_t i = 0; i < top && !scan.blocked; ++i) {
        Party& p = seg_->parties[i];
        // Whether it waits on the line, looked at before its state: a party
        // says so before it waits and stops saying so only once it runs, so
        // one seen waiting was seen with its wait's own word.
        const bool on_line = p.on_line.load() != 0;
        const State s = state_of(p);
        const int64_t age = real - p.since.load();
        switch (s) {
        case State::Free:
            break;
        case State::Waiting:
            scan.earliest = std::min(scan.earliest, p.deadline.load());
            scan.line_waiter = scan.line_waiter || on_line;
            break;
        case State::RealWait:
            scan.earliest = std::min(scan.earliest, p.deadline.load());
            scan.real_wait = true;
            break;
        case State::Passive:
            if (age > kDeadLookNs && dead(p)) {
                p.state.store(static_cast<uint32_t>(State::Free));
                scan.freed = true;
            }
            break;
        case State::Running:
        case State::Pending:
        case State::ExitHold:
        case State::Handed:
            scan.blocked = !holder_let_go(p, s, age, &scan.real_wait);
            scan.freed = scan.freed || state_of(p) == State::Free;
            break;
        }
    }
    return scan;
}

// A party that holds the clock: false while it does; true once it is found
// gone, or held it past a bound (the clock then goes on).
bool VirtualClock::holder_let_go(Party& p, State s, int64_t age, bool* real_wait)
{
    if (age > kDeadLookNs && dead(p)) {
        p.state.store(static_cast<uint32_t>(State::Free));
        return true;
    }
    // A thread handed work it never took (another took the token, or a
    // signal woke someone else and the mark stayed): it waits on, holding
    // nothing, as before the hand-over. Its own process lets such marks go;
    // this is for the hand-overs it cannot see.
    uint32_t handed = static_cast<uint32_t>(State::Handed);
    if (s == State::Handed && age > bound_ns_ &&
        p.state.compare_exchange_strong(handed, static_cast<uint32_t>(State::Passive))) {
        fallback("a thread woken by another did not take its turn within " +
                 std::to_string(bound_ns_ / 1000000) + " ms");
        return true;
    }
    // Their owners resolve these (a parent takes back a slot its child never
    // took, or lets go of a child that ended) and their lives end them; a
    // loaded machine may take seconds to start a process, so only a stall
    // as long as a thread's counts.
    if (s != State::Running && age > running_bound_ns_) {
        // A child that never took its slot, or a parent that never
        // noticed its child's end.
        p.state.store(static_cast<uint32_t>(State::Free));
        fallback("a process was started or ended out of the clock's sight");
        return true;
    }
    if (s == State::Running && age > running_bound_ns_) {
        if (!real_paced_) {
            fallback("a mission thread ran or waited for " +
                     std::to_string(running_bound_ns_ / kNsPerS) +
                     " s in a call the clock does not follow");
        }
        *real_wait = true;
        return true;
    }
    return false;
}

// Whether a datagram to the station is still on its way; one the station
// never takes (a full queue drops some) holds the clock only for the bound.
bool VirtualClock::datagrams_in_flight(int64_t real)
{
    if (seg_->dgrams_sent.load() == seg_->dgrams_taken.load()) {
        dgrams_stuck_since_ = 0;
        return false;
    }
    if (dgrams_stuck_since_ == 0) {
        dgrams_stuck_since_ = real;
    }
    if (real - dgrams_stuck_since_ < bound_ns_) {
        return true;
    }
    seg_->dgrams_taken.store(seg_->dgrams_sent.load());
    fallback("the station did not take a log datagram within the bound");
    dgrams_stuck_since_ = 0;
    return false;
}

void VirtualClock::go_on_real_time()
{
    if (forced_real_) {
        return;
    }
    fallback("the flight took longer in real time than its time limit: the clock went on "
             "at the wall's pace to the limit");
    forced_real_ = true;
    real_paced_ = true;
    anchor_real_ = real_fallback_start_ = real_ns();
    anchor_virtual_ = now_ns();
}

// After go_on_real_time(): the wall's pace, up to our own next due.
VirtualClock::Step VirtualClock::forced(int64_t own_due_ns, int64_t real, int64_t* real_wait_ns)
{
    const int64_t allowed = anchor_virtual_ + (real - anchor_real_);
    const int64_t target = std::min(allowed, own_due_ns);
    if (target > now_ns()) {
        seg_->now.store(target, std::memory_order_release);
        return Step::Moved;
    }
    *real_wait_ns = std::max<int64_t>(1, own_due_ns - allowed);
    return Step::Paced;
}

// The turn FIFO's bytes stay until nobody polls it any more: a party that
// was handed its turn has seen them by then, and one that comes to poll
// later looks at its state first. Taken out here, so that the next poll
// sleeps again.
void VirtualClock::take_turn_bytes()
{
    if (seg_->turn_rung.load() == 0 || seg_->line_pollers.load() != 0) {
        return;
    }
    seg_->turn_rung.store(0);
    char buf[256];
    while (::read(turn_.get(), buf, sizeof buf) > 0) {
    }
}

VirtualClock::Step VirtualClock::advance(int64_t own_due_ns, int64_t* real_wait_ns, Unseen unseen,
                                         void* context)
{
    *real_wait_ns = -1;
    take_turn_bytes();
    const int64_t real = real_ns();
    if (forced_real_) {
        return forced(own_due_ns, real, real_wait_ns);
    }
    if (seg_->mission_tx.load() != seg_->sim_rx.load()) {
        return Step::Blocked;  // the mission's bytes are still on their way to us
    }
    // Our answer's count, looked at before the parties: a mission reads it
    // only once it runs, so one seen waiting had not read it when we looked.
    const bool answer_on_way = seg_->sim_tx.load() > seg_->mission_rx.load();
    const Scan scan = scan_parties(own_due_ns, real);
    if (scan.blocked) {
        return Step::Blocked;
    }
    // Again after the parties' states: a mission counts its request before
    // it writes it and waits, so one seen waiting now has its request in
    // this count, though the look before the scan may have missed it.
    if (seg_->mission_tx.load() != seg_->sim_rx.load()) {
        return Step::Blocked;
    }
    if (scan.freed) {
        // A party found gone (the mission's end among them) is seen by the
        // simulator at this instant, before the clock moves on: Moved, at
        // the same time.
        return Step::Moved;
    }
    if (scan.line_waiter && answer_on_way) {
        return Step::Blocked;  // our answer is on its way to a waiting mission
    }
    if (datagrams_in_flight(real)) {
        return Step::Blocked;
    }
    const int64_t now = now_ns();
    if (scan.earliest == kNever) {
        return Step::Blocked;
    }
    if (scan.earliest <= now) {
        return Step::Moved;  // the next party due at this instant takes its turn
    }
    return pace(scan.earliest, scan.real_wait, real, real_wait_ns, unseen, context);
}

// Moves the clock to `earliest`, unless --speed (or a real-time stretch)
// says not yet.
VirtualClock::Step VirtualClock::pace(int64_t earliest, bool real_wait, int64_t real,
                                      int64_t* real_wait_ns, Unseen unseen, void* context)
{
    const int64_t now = now_ns();
    if (real_wait != real_paced_) {
        // Entering or leaving a real-time stretch: pace from here.
        real_paced_ = real_wait;
        anchor_real_ = real;
        anchor_virtual_ = now;
        if (real_wait) {
            real_fallback_start_ = real;
        } else {
            seg_->fallback_ns.fetch_add(real - real_fallback_start_);
        }
    }
    const double speed = real_paced_ ? (speed_ > 0 ? std::min(speed_, 1.0) : 1.0) : speed_;
    if (speed > 0) {
        const int64_t allowed = anchor_virtual_ + static_cast<int64_t>(static_cast<double>(real - anchor_real_) * speed);
        if (earliest > allowed) {
            *real_wait_ns = static_cast<int64_t>(static_cast<double>(earliest - allowed) / speed) + 1;
            return Step::Paced;
        }
    }
    if (unseen && unseen(context)) {
        return Step::Blocked;
    }
    seg_->now.store(earliest, std::memory_order_release);
    return Step::Moved;
}

// One party at a time, the earliest deadline first (then the oldest slot):
// parties due at the same instant run one after the other, in the same order
// every time, so that two processes of a mission do not race.
bool VirtualClock::wake_due()
{
    const int64_t now = now_ns();
    bool woke = false;
    Party* next = nullptr;
    if (seg_->mission_tx.load() != seg_->sim_rx.load()) {
        return false;  // a request on its way: its sender has the turn
    }
    const bool answer_on_way = seg_->sim_tx.load() > seg_->mission_rx.load();
    const uint32_t top = seg_->top.load();
    for (uint32_t i = 0; i < top; ++i) {
        Party& p = seg_->parties[i];
        const State s = state_of(p);
        if (s == State::Running || s == State::Pending || s == State::ExitHold || s == State::Handed ||
            (s == State::Waiting && answer_on_way && p.on_line.load())) {
            return false;  // someone holds the clock: the next turn waits
        }
        if (s == State::Waiting && p.deadline.load() <= now &&
            (next == nullptr || p.deadline.load() < next->deadline.load())) {
            next = &p;
        }
        woke = woke || s == State::RealWait;
    }
    uint32_t waiting = static_cast<uint32_t>(State::Waiting);
    if (next && next->state.compare_exchange_strong(waiting, static_cast<uint32_t>(State::Running))) {
        next->since.store(real_ns());
        woke = true;
    }
    if (woke) {
        seg_->seq.fetch_add(1);
        futex_wake_all(&seg_->seq);
        // A party handed its turn may wait on the line itself.
        if (seg_->line_pollers.load() != 0) {
            const char b = 1;
            seg_->turn_rung.store(1);
            (void)!::write(turn_.get(), &b, 1);
        }
    }
    return true;
}

std::string VirtualClock::refusal() const
{
    if (!seg_->refused.load()) {
        return {};
    }
    std::string text(seg_->refusal, strnlen(seg_->refusal, sizeof seg_->refusal));
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

}  // namespace kelvex::clock
