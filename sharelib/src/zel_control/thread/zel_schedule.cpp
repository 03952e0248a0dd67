// The schedule: two time-ordered heaps, one for monotonic deadlines (delays, periods) and one for
// wall-clock deadlines (one-time and calendar entries), under one mutex and a monotonic condition.
// Callbacks run without the mutex; the entry being fired is held aside so that a cancel from its
// own callback wins.
#include "zel_control/thread/zel_schedule.h"

#include <errno.h>
#include <pthread.h>

#include <algorithm>
#include <new>
#include <vector>

#include "zel_control/container/zel_heap.h"
#include "zel_control/log/zel_log.h"
#include "zel_control/thread/zel_cond.h"
#include "zel_control/thread/zel_schedule_test.h"
#include "zel_control/utils/zel_error.h"
#include "zel_control/utils/zel_time.h"
#include "zelmar/zel_clock.h"

namespace {

constexpr const char *TAG = "ZEL_SCHEDULE";
constexpr int kHeapInitial = 8;
constexpr int64_t kSecond = 1000000;
constexpr int64_t kMinute = 60 * kSecond;
constexpr int64_t kHour = 60 * kMinute;
constexpr int64_t kDay = 24 * kHour;
constexpr int64_t kWeek = 7 * kDay;
constexpr int64_t kIdleWait = 60 * kSecond;
// The longest a wall-clock deadline is waited for before the clock is read again.
constexpr int64_t kWallRecheck = kSecond;
// A change of the wall clock against the monotonic one beyond this is a step.
constexpr int64_t kStepTolerance = kSecond;

struct entry {
    int64_t due;      // microseconds: monotonic for delays and periods, else since 1970
    int64_t registered;  // the same clock as `due`
    int tz_hours;     // whole-hour zone offset at registration
    int kind;
    int64_t value;
    zel_schedule_fn callback;
    void *user_data;
    bool cancelled;
};

bool on_monotonic(int kind)
{
    return kind == ZEL_SCHEDULE_DELAY || kind == ZEL_SCHEDULE_PERIOD;
}

int64_t unit_of(int kind)
{
    switch (kind) {
    case ZEL_SCHEDULE_MINUTE: return kMinute;
    case ZEL_SCHEDULE_HOUR: return kHour;
    case ZEL_SCHEDULE_DAY: return kDay;
    case ZEL_SCHEDULE_WEEK: return kWeek;
    default: return 0;
    }
}

int64_t floor_div(int64_t a, int64_t b)
{
    const int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The first time after `now` of a calendar entry: the start of the local minute, hour, day or week
// (Sunday) holding `now`, plus the offset, one unit later when that is not after now.
int64_t next_calendar(const entry *e, int64_t now)
{
    const int64_t unit = unit_of(e->kind);
    const int64_t zone = static_cast<int64_t>(e->tz_hours) * kHour;
    // 1970-01-01 was a Thursday: weeks counted from the Sunday before it.
    const int64_t shift = e->kind == ZEL_SCHEDULE_WEEK ? 4 * kDay : 0;
    const int64_t start = floor_div(now + zone + shift, unit) * unit - shift - zone;
    int64_t next = start + e->value;
    if (next <= now)
        next += unit;
    return next;
}

// registration + n * period + period, n = (now - registration) / period; a period more when that is
// not after now.
int64_t next_period(const entry *e, int64_t now)
{
    const int64_t n = now > e->registered ? (now - e->registered) / e->value : 0;
    int64_t next = e->registered + n * e->value + e->value;
    if (next <= now)
        next += e->value;
    return next;
}

// The time after `now` (0 when the entry ends).
int64_t next_time(const entry *e, int64_t now)
{
    if (e->kind == ZEL_SCHEDULE_PERIOD)
        return next_period(e, now);
    if (unit_of(e->kind) != 0)
        return next_calendar(e, now);
    return 0;
}

int earlier_first(const void *a, const void *b)
{
    const int64_t x = static_cast<const entry *>(a)->due;
    const int64_t y = static_cast<const entry *>(b)->due;
    return x < y ? 1 : (x > y ? -1 : 0);
}

int match_user_data(const void *item, const void *key)
{
    return static_cast<const entry *>(item)->user_data == key ? 0 : -1;
}

// A stretch of wall time the schedule has seen pass (a forward step counts as passed: the entries it
// jumps over fire once at once).
struct wall_span {
    int64_t from;
    int64_t to;
    bool holds(int64_t t) const { return t >= from && t <= to; }
    bool meets(const wall_span &o) const { return to >= o.from && from <= o.to; }
};

constexpr wall_span kNoSpan{INT64_MAX, INT64_MIN};

} // namespace

struct zel_schedule {
    bool running;
    zel_thread_pool_t *pool;
    zel_heap_t *monotonic;
    zel_heap_t *wall;
    pthread_t thread;
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    entry *firing;        // fired directly, its callback running now
    int in_pool;          // callbacks handed to the pool and not yet finished
    pthread_cond_t pool_idle;
    int64_t wall_offset;  // wall - monotonic at the last reading
    wall_span passed;     // since the last backward step of the wall clock
    wall_span before;     // passed before that step, while `passed` has not reached it
};

namespace {

// A callback handed to the pool carries a copy: the entry may be cancelled meanwhile.
struct pool_call {
    zel_schedule_t *schedule;
    zel_schedule_fn callback;
    void *user_data;
};

int entry_count(const zel_schedule_t *s)
{
    return zel_heap_get_size(s->monotonic) + zel_heap_get_size(s->wall) + (s->firing && !s->firing->cancelled);
}

int insert(zel_schedule_t *s, entry *e)
{
    const int rc = zel_heap_insert(on_monotonic(e->kind) ? s->monotonic : s->wall, e);
    pthread_cond_signal(&s->cond);
    return rc;
}

// Removes the first entry with that user data from either heap.
entry *take(zel_schedule_t *s, const void *user_data)
{
    for (zel_heap_t *heap : {s->monotonic, s->wall}) {
        const int i = zel_heap_search(heap, 0, match_user_data, user_data);
        if (i >= 0)
            return static_cast<entry *>(zel_heap_remove(heap, i));
    }
    return nullptr;
}

// The first time of a calendar entry after `now` that the wall clock has not passed yet: a step back
// does not bring back the times already fired.
int64_t next_unpassed(const zel_schedule_t *s, const entry *e, int64_t now)
{
    int64_t next = next_calendar(e, now);
    for (const wall_span &span : {s->passed, s->before})
        if (span.holds(next))
            next = next_calendar(e, span.to);
    return next;
}

// Under the mutex: after firing, the entry's next time from the current reading of its clock.
void reschedule(zel_schedule_t *s, entry *e)
{
    if (unit_of(e->kind) != 0)
        e->due = next_unpassed(s, e, zel_time_wall_us());
    else
        e->due = next_time(e, on_monotonic(e->kind) ? time_monotonic_us() : zel_time_wall_us());
    if (e->due <= 0 || insert(s, e) != 0)
        delete e;
}

void *pool_work(void *first, void *)
{
    auto *call = static_cast<pool_call *>(first);
    call->callback(call->schedule, call->user_data);
    zel_schedule_t *s = call->schedule;
    delete call;
    pthread_mutex_lock(&s->mutex);
    if (--s->in_pool == 0)
        pthread_cond_broadcast(&s->pool_idle);
    pthread_mutex_unlock(&s->mutex);
    return nullptr;
}

void fire(zel_schedule_t *s, entry *e)
{
    if (s->pool) {
        auto *call = new (std::nothrow) pool_call{s, e->callback, e->user_data};
        if (call && zel_thread_pool_add_work(s->pool, pool_work, call, nullptr, nullptr) >= 0) {
            s->in_pool++;
        } else {
            delete call;
            ZEL_LOGE(TAG, "schedule: the pool refused a callback; this firing is skipped");
        }
        reschedule(s, e);
        return;
    }
    s->firing = e;
    pthread_mutex_unlock(&s->mutex);
    e->callback(s, e->user_data);
    pthread_mutex_lock(&s->mutex);
    s->firing = nullptr;
    if (e->cancelled)
        delete e;
    else
        reschedule(s, e);
}

// Calendar entries follow a step of the wall clock: one it jumps forward over fires once at once; after
// a step back each waits for the first of its times the clock has not passed yet.
void follow_wall_step(zel_schedule_t *s, int64_t wall_now, int64_t mono_now)
{
    const int64_t offset = wall_now - mono_now;
    const int64_t moved = offset - s->wall_offset;
    s->wall_offset = offset;
    if (moved >= -kStepTolerance) {
        s->passed.to = std::max(s->passed.to, wall_now);
        if (s->passed.meets(s->before)) {
            s->passed = {std::min(s->passed.from, s->before.from), std::max(s->passed.to, s->before.to)};
            s->before = kNoSpan;
        }
        if (moved > kStepTolerance)
            ZEL_LOGI(TAG, "schedule: wall clock stepped by %lld ms", static_cast<long long>(moved / 1000));
        return;
    }
    ZEL_LOGI(TAG, "schedule: wall clock stepped by %lld ms", static_cast<long long>(moved / 1000));
    const int64_t was = s->passed.to;
    s->before = s->passed;
    s->passed = {wall_now, wall_now};
    std::vector<entry *> entries;
    while (auto *e = static_cast<entry *>(zel_heap_pop(s->wall)))
        entries.push_back(e);
    for (entry *e : entries) {
        // An entry already due before the step still fires for that time.
        if (e->kind != ZEL_SCHEDULE_ONETIME && e->due > was)
            e->due = next_unpassed(s, e, wall_now);
        zel_heap_insert(s->wall, e);
    }
}

void *schedule_main(void *arg)
{
    auto *s = static_cast<zel_schedule_t *>(arg);
    pthread_mutex_lock(&s->mutex);
    while (s->running) {
        int64_t mono_now = time_monotonic_us();
        int64_t wall_now = zel_time_wall_us();
        follow_wall_step(s, wall_now, mono_now);
        auto *m = static_cast<entry *>(zel_heap_peek(s->monotonic));
        auto *w = static_cast<entry *>(zel_heap_peek(s->wall));
        if (m && m->due <= mono_now) {
            fire(s, static_cast<entry *>(zel_heap_pop(s->monotonic)));
            continue;
        }
        if (w && w->due <= wall_now) {
            fire(s, static_cast<entry *>(zel_heap_pop(s->wall)));
            continue;
        }
        int64_t wait = kIdleWait;
        if (m)
            wait = m->due - mono_now;
        if (w) {
            const int64_t until_wall = w->due - wall_now;
            wait = std::min(wait, std::min(until_wall, kWallRecheck));
        }
        zel_cond_wait_for(&s->cond, &s->mutex, wait);
    }
    pthread_mutex_unlock(&s->mutex);
    return nullptr;
}

int add_entry(zel_schedule_t *s, entry *e)
{
    pthread_mutex_lock(&s->mutex);
    if (entry_count(s) >= ZEL_SCHEDULE_MAX_ENTRIES) {
        pthread_mutex_unlock(&s->mutex);
        delete e;
        ZEL_LOGE(TAG, "schedule: full (%d entries), entry refused", ZEL_SCHEDULE_MAX_ENTRIES);
        return ZEL_EFULL;
    }
    const int rc = insert(s, e);
    pthread_mutex_unlock(&s->mutex);
    if (rc != 0)
        delete e;
    return rc;
}

bool value_in_range(int kind, int64_t value)
{
    if (kind == ZEL_SCHEDULE_DELAY)
        return value >= 0;
    if (kind == ZEL_SCHEDULE_PERIOD)
        return value > 0;
    const int64_t unit = unit_of(kind);
    return unit != 0 && value >= 0 && value < unit;
}

} // namespace

extern "C" {

zel_schedule_t *zel_schedule_create(void)
{
    auto *s = new (std::nothrow) zel_schedule{};
    if (!s)
        return nullptr;
    s->monotonic = zel_heap_create(earlier_first, kHeapInitial, ZEL_SCHEDULE_MAX_ENTRIES);
    s->wall = zel_heap_create(earlier_first, kHeapInitial, ZEL_SCHEDULE_MAX_ENTRIES);
    if (!s->monotonic || !s->wall || zel_cond_init_monotonic(&s->cond) != 0) {
        zel_heap_release(s->monotonic);
        zel_heap_release(s->wall);
        delete s;
        return nullptr;
    }
    zel_cond_init_monotonic(&s->pool_idle);
    pthread_mutex_init(&s->mutex, nullptr);
    s->running = true;
    const int64_t wall_now = zel_time_wall_us();
    s->wall_offset = wall_now - time_monotonic_us();
    s->passed = {wall_now, wall_now};
    s->before = kNoSpan;
    if (pthread_create(&s->thread, nullptr, schedule_main, s) != 0) {
        ZEL_LOGE(TAG, "schedule: cannot start its thread");
        pthread_cond_destroy(&s->pool_idle);
        pthread_cond_destroy(&s->cond);
        pthread_mutex_destroy(&s->mutex);
        zel_heap_release(s->monotonic);
        zel_heap_release(s->wall);
        delete s;
        return nullptr;
    }
    return s;
}

int zel_schedule_register(zel_schedule_t *schedule, int kind, int64_t value, zel_schedule_fn callback,
                          void *user_data)
{
    if (!schedule || !callback || !value_in_range(kind, value))
        return ZEL_EINVAL;
    auto *e = new (std::nothrow) entry{};
    if (!e)
        return ZEL_ENOMEM;
    e->kind = kind;
    e->value = value;
    e->callback = callback;
    e->user_data = user_data;
    e->tz_hours = zel_local_timezone();
    e->registered = on_monotonic(kind) ? time_monotonic_us() : zel_time_wall_us();
    e->due = kind == ZEL_SCHEDULE_DELAY ? e->registered + value : next_time(e, e->registered);
    return add_entry(schedule, e);
}

int zel_schedule_register_onetime(zel_schedule_t *schedule, int year, int month, int day, int hour, int minute,
                                  int second, zel_schedule_fn callback, void *user_data)
{
    if (!schedule || !callback)
        return ZEL_EINVAL;
    const zel_time at = zel_time_create(year, month, day, hour, minute, second, 0);
    const int64_t due = at.sec * kSecond + at.usec;
    const int64_t now = zel_time_wall_us();
    if (due < now)
        return ZEL_EPAST;
    auto *e = new (std::nothrow) entry{};
    if (!e)
        return ZEL_ENOMEM;
    e->kind = ZEL_SCHEDULE_ONETIME;
    e->callback = callback;
    e->user_data = user_data;
    e->tz_hours = zel_local_timezone();
    e->registered = now;
    e->due = due;
    return add_entry(schedule, e);
}

int zel_schedule_cancel(zel_schedule_t *schedule, void *user_data)
{
    if (!schedule)
        return ZEL_EINVAL;
    pthread_mutex_lock(&schedule->mutex);
    entry *e = take(schedule, user_data);
    if (e)
        delete e;
    else if (schedule->firing && !schedule->firing->cancelled && schedule->firing->user_data == user_data)
        schedule->firing->cancelled = true;
    pthread_cond_signal(&schedule->cond);
    pthread_mutex_unlock(&schedule->mutex);
    return 0;
}

int zel_schedule_skip_next(zel_schedule_t *schedule, void *user_data)
{
    if (!schedule)
        return ZEL_EINVAL;
    pthread_mutex_lock(&schedule->mutex);
    entry *e = take(schedule, user_data);
    if (!e) {
        pthread_mutex_unlock(&schedule->mutex);
        return ZEL_ENOTFOUND;
    }
    e->due = next_time(e, e->due);
    if (e->due <= 0 || insert(schedule, e) != 0)
        delete e;
    pthread_cond_signal(&schedule->cond);
    pthread_mutex_unlock(&schedule->mutex);
    return 0;
}

int zel_schedule_get_count(zel_schedule_t *schedule)
{
    if (!schedule)
        return ZEL_EINVAL;
    pthread_mutex_lock(&schedule->mutex);
    const int n = entry_count(schedule);
    pthread_mutex_unlock(&schedule->mutex);
    return n;
}

int zel_schedule_peek_due(zel_schedule_t *schedule, void *user_data, int64_t *due)
{
    if (!schedule || !due)
        return ZEL_EINVAL;
    pthread_mutex_lock(&schedule->mutex);
    int rc = ZEL_ENOTFOUND;
    for (zel_heap_t *heap : {schedule->monotonic, schedule->wall}) {
        const int i = zel_heap_search(heap, 0, match_user_data, user_data);
        if (i >= 0) {
            *due = static_cast<const entry *>(heap->items[i])->due;
            rc = 0;
            break;
        }
    }
    pthread_mutex_unlock(&schedule->mutex);
    return rc;
}

void zel_schedule_timer_set_pool(zel_schedule_t *schedule, zel_thread_pool_t *pool)
{
    if (!schedule)
        return;
    pthread_mutex_lock(&schedule->mutex);
    schedule->pool = pool;
    pthread_mutex_unlock(&schedule->mutex);
}

void zel_schedule_release(zel_schedule_t *schedule)
{
    if (!schedule)
        return;
    pthread_mutex_lock(&schedule->mutex);
    schedule->running = false;
    pthread_cond_signal(&schedule->cond);
    pthread_mutex_unlock(&schedule->mutex);
    pthread_join(schedule->thread, nullptr);
    pthread_mutex_lock(&schedule->mutex);
    while (schedule->in_pool > 0)
        pthread_cond_wait(&schedule->pool_idle, &schedule->mutex);
    pthread_mutex_unlock(&schedule->mutex);
    for (zel_heap_t *heap : {schedule->monotonic, schedule->wall}) {
        while (auto *e = static_cast<entry *>(zel_heap_pop(heap)))
            delete e;
        zel_heap_release(heap);
    }
    pthread_cond_destroy(&schedule->pool_idle);
    pthread_cond_destroy(&schedule->cond);
    pthread_mutex_destroy(&schedule->mutex);
    delete schedule;
}

} // extern "C"
