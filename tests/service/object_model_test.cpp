#include <gtest/gtest.h>

#include <cstring>

#include "service/base/vz_ptr_list.h"
#include "service/base/vz_smart_ptr.h"
#include "service/base/vz_string.h"
#include "transport/cp_mutex.h"
#include "transport/cp_timer.h"

namespace {

int g_destroyed = 0;

class Probe : public vzCRefCounted<vzIUnknown> {
public:
    ~Probe() override { ++g_destroyed; }
};

}  // namespace

TEST(ReferenceCounting, ReleaseOfTheLastReferenceDestroys) {
    g_destroyed = 0;
    auto* probe = new Probe;  // count 0 after construction
    EXPECT_TRUE(vzSucceeded(probe->AddRef()));
    EXPECT_TRUE(vzSucceeded(probe->AddRef()));
    EXPECT_EQ(probe->Release(), kVzOk);
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_TRUE(vzSucceeded(probe->Release()));
    EXPECT_EQ(g_destroyed, 1);

    auto* fresh = new Probe;
    EXPECT_TRUE(vzSucceeded(fresh->AddRef()));
    EXPECT_TRUE(vzSucceeded(fresh->Release()));
    EXPECT_EQ(g_destroyed, 2);
}

TEST(ReferenceCounting, SharedQueryInterfaceAnswersNoInterface) {
    Probe probe;
    void* out = &probe;
    EXPECT_EQ(probe.QueryInterface(8214, &out), kNoInterface);
    EXPECT_EQ(out, nullptr);
}

TEST(SmartPtr, HoldsOneReferenceAndReplacesCleanly) {
    g_destroyed = 0;
    auto* a = new Probe;
    auto* b = new Probe;
    {
        vzSmartPtr holder(a);
        EXPECT_EQ(a->RefCount(), 1);
        holder = a;  // the same pointer again changes nothing
        EXPECT_EQ(a->RefCount(), 1);
        vzSmartPtr copy = holder;
        EXPECT_EQ(a->RefCount(), 2);
        holder = b;
        EXPECT_EQ(a->RefCount(), 1);
        EXPECT_EQ(b->RefCount(), 1);
    }
    EXPECT_EQ(g_destroyed, 2);
}

TEST(SmartPtr, CreateInstanceKnowsThePlatformPrimitives) {
    vzSmartPtr holder;
    ASSERT_TRUE(holder.CreateInstance(kClassMutex));
    auto* mutex = holder.As<cpCMutex>();
    EXPECT_EQ(mutex->RefCount(), 1);
    EXPECT_EQ(mutex->Lock(), kTransportOk);
    EXPECT_EQ(mutex->Lock(), kTransportOk);  // recursive
    EXPECT_TRUE(vzSucceeded(mutex->Unlock()));
    EXPECT_TRUE(vzSucceeded(mutex->Unlock()));
    EXPECT_TRUE(holder.CreateInstance(kClassTimer));
    EXPECT_TRUE(holder.CreateInstance(kClassSocket));
}

TEST(SmartPtr, UnknownClassIdLeavesTheHolderEmptyAfterReleasingWhatItHeld) {
    g_destroyed = 0;
    vzSmartPtr holder(new Probe);
    EXPECT_FALSE(holder.CreateInstance(0x7777));
    EXPECT_FALSE(holder);
    EXPECT_EQ(g_destroyed, 1);
}

TEST(String, ThreeCharactersStayInlineAndTheFourthMovesToTheHeap) {
    vzCString s;
    s.Assign("abc", vzCString::kMeasure, 0);
    EXPECT_TRUE(s.IsInline());
    EXPECT_EQ(s.Length(), 3u);
    s.Append("d", vzCString::kAppendMeasure, 0);
    EXPECT_FALSE(s.IsInline());
    EXPECT_EQ(s.Length(), 4u);
    EXPECT_STREQ(s.CStr(), "abcd");
}

TEST(String, AssignModesAndEmptyText) {
    vzCString s;
    s.Assign("hello world", vzCString::kCount, 5);
    EXPECT_EQ(s.View(), "hello");
    s.Assign("longer text here", vzCString::kMeasure, 0);
    EXPECT_EQ(s.View(), "longer text here");
    s.Assign("short", vzCString::kMeasure, 0);  // reuses the larger buffer
    EXPECT_STREQ(s.CStr(), "short");
    s.Assign("", vzCString::kMeasure, 0);
    EXPECT_EQ(s.Length(), 0u);
    s.Assign("ignored", 7, 3);  // an unknown mode takes nothing
    EXPECT_EQ(s.Length(), 0u);
    s.Append(nullptr, vzCString::kAppendMeasure, 0);
    EXPECT_EQ(s.Length(), 0u);
}

TEST(String, CopiesAreIndependent) {
    vzCString a("a long string");
    vzCString b(a);
    vzCString c;
    c = a;
    a.Assign("x", vzCString::kMeasure, 0);
    EXPECT_EQ(b.View(), "a long string");
    EXPECT_EQ(c.View(), "a long string");
    c = c;
    EXPECT_EQ(c.View(), "a long string");
}

TEST(String, MidClipsAndRefusesOutOfRangeRequests) {
    vzCString s("0123456789");
    vzCString out;
    EXPECT_EQ(s.Mid(out, 7, 10), 3u);
    EXPECT_EQ(out.View(), "789");
    EXPECT_EQ(s.Mid(out, 0, 1'048'577), 0u);
    EXPECT_EQ(s.Mid(out, 10, 1), 0u);  // start equal to the length
    EXPECT_EQ(out.View(), "789");
    EXPECT_EQ(s.Mid(2, 3).View(), "234");
}

TEST(PtrList, RemoveMovesACursorOnTheRemovedNodeToTheHead) {
    int a, b, c;
    vzCPtrList list;
    list.Append(&a);
    list.Append(&b);
    list.Append(&c);
    list.SetCursor(list.Head()->next);
    EXPECT_EQ(list.Remove(&b), &b);
    EXPECT_EQ(list.Cursor(), list.Head());
    EXPECT_EQ(list.Remove(&b), nullptr);
    EXPECT_EQ(list.PopHead(), &a);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Tail()->item, &c);
}

TEST(TokenList, SplitYieldsOnlyTheNonEmptyRunsInOrder) {
    vzCTokenList tokens;
    tokens.Split("||http://a/x||http://b/x|", '|');
    ASSERT_EQ(tokens.Count(), 2);
    EXPECT_EQ(*tokens.At(0), "http://a/x");
    EXPECT_EQ(*tokens.At(1), "http://b/x");
    EXPECT_EQ(tokens.At(2), nullptr);
    tokens.Split("single", '|');
    ASSERT_EQ(tokens.Count(), 1);
    EXPECT_EQ(*tokens.At(0), "single");
    tokens.Split("", '|');
    EXPECT_EQ(tokens.Count(), 0);
}
