// How the upload thread recovers from a failed request: the cloud's error codes mapped to the next
// state, the resume state and what happens to the clip and the queue.
#pragma once

// The resume state that means none.
inline constexpr int CLOUD_RESUME_NONE = 15;

struct cloud_error_step {
    int next;
    int resume;
    bool drop;          // delete the clip being uploaded (only after states 10 and 12)
    bool delete_all;    // delete every queued clip
    bool expire;        // set "expired" with today's UTC date
    bool reset_file_id; // take a new fileId before the next upload
    int timeouts;       // transfer time-outs in a row after this one
};

// `state` failed with `code`; `resume` is the resume state in force, `timeouts` the time-outs in a
// row before this one and `connected` whether the daemon reports the cloud connected.
cloud_error_step cloud_error_map(int code, int state, int resume, bool connected, int timeouts);
