// The error table of the upload thread, row by row.
#include <gtest/gtest.h>

#include "app/cloud/cloud_error.h"
#include "app/cloud/cloud_http.h"

namespace {

constexpr int kNone = CLOUD_RESUME_NONE;

struct Row {
    int code, state;
    int next, resume;
    bool drop;
};

TEST(CloudErrorTable, EachFamilyLeadsBackToUploading)
{
    const Row rows[] = {
        {401, 10, 1, 7, false},      {401100, 4, 1, 4, false},   {401101, 6, 1, 6, false},
        {401105, 12, 1, 7, false},   {501100, 5, 1, 5, false},   {CLOUD_HTTP_UNAUTHORIZED, 10, 1, 7, false},
        {500, 10, 14, 7, false},     {501, 4, 14, 7, false},     {500101, 10, 14, 7, false},
        {501107, 6, 14, 7, false},   {400203, 10, 8, kNone, false}, {400204, 10, 8, kNone, false},
        {400220, 12, 8, kNone, false}, {400208, 10, 6, 7, false}, {400221, 10, 5, 7, false},
        {400, 10, 7, kNone, true},   {400201, 10, 7, kNone, true}, {400205, 12, 7, kNone, true},
        {400206, 10, 7, kNone, true}, {400217, 10, 7, kNone, true}, {401102, 10, 7, kNone, true},
        {123456, 10, 14, 1, true},   {-1, 4, 14, 1, true},       {500103, 10, 14, 1, true},
        {501108, 10, 14, 1, true},   {400219, 10, 7, kNone, true},
    };
    for (const Row &r : rows) {
        const cloud_error_step s = cloud_error_map(r.code, r.state, kNone, true, 0);
        EXPECT_EQ(s.next, r.next) << r.code;
        EXPECT_EQ(s.resume, r.resume) << r.code;
        EXPECT_EQ(s.drop, r.drop) << r.code;
        EXPECT_EQ(s.timeouts, 0) << r.code;
        EXPECT_EQ(s.reset_file_id, r.code == 400203 || r.code == 400204 || r.code == 400220) << r.code;
        EXPECT_EQ(s.expire && s.delete_all, r.code == 400219) << r.code;
    }
}

TEST(CloudErrorTable, LostConnectionWaitsForItWhateverTheCode)
{
    for (int code : {28, 401, 500, 400203, 400219, 400, 7}) {
        const cloud_error_step s = cloud_error_map(code, 10, 7, false, 1);
        EXPECT_EQ(s.next, 0) << code;
        EXPECT_EQ(s.resume, kNone) << code;
        EXPECT_FALSE(s.drop || s.delete_all || s.expire) << code;
        EXPECT_EQ(s.timeouts, 0) << code;
    }
}

TEST(CloudErrorTable, TimeOutsInARow)
{
    // A first time-out of a request retries it; the clip of a failed post is dropped, so the idle
    // test takes the next one instead of posting a deleted file again.
    cloud_error_step s = cloud_error_map(28, 4, 10, true, 0);
    EXPECT_EQ(s.next, 4);
    EXPECT_EQ(s.resume, 10);
    EXPECT_EQ(s.timeouts, 1);
    s = cloud_error_map(28, 10, kNone, true, 0);
    EXPECT_EQ(s.next, 7);
    EXPECT_TRUE(s.drop);
    EXPECT_EQ(s.timeouts, 1);
    // The second in a row waits for the connection again.
    s = cloud_error_map(28, 10, kNone, true, 1);
    EXPECT_EQ(s.next, 0);
    EXPECT_EQ(s.resume, kNone);
    EXPECT_TRUE(s.drop);
    EXPECT_EQ(s.timeouts, 2);
    // Any other code ends the run.
    EXPECT_EQ(cloud_error_map(400, 10, kNone, true, 1).timeouts, 0);
}

} // namespace
