// The packet queue: order, the head that blocks, draining, and the header
// every queued packet starts with.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include "deci2.h"

namespace {

// A heap packet of `len` bytes whose first body byte tells packets apart.
void* MakePacket(uint16_t len, unsigned char tag)
{
    unsigned char* p = (unsigned char*)calloc(1, len);
    MakeDeci2Hdr((DECI2_HDR*)p, len, PROTO_SAMPLE, NODE_HOST, NODE_EE);
    p[8] = tag;
    return p;
}

unsigned char Tag(PKT* pkt)
{
    return ((unsigned char*)pkt->deci2)[8];
}

int QueueLength()
{
    int n = 0;
    List* head = QueueHead();
    for (List* l = head->next; l != head; l = l->next)
        n++;
    return n;
}

class Queue : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, QueueCreate()); }
    void TearDown() override { QueueDestroy(); }
};

TEST(Deci2Header, FieldsAreLittleEndianWithReservedZero)
{
    unsigned char b[8];
    memset(b, 0xAA, sizeof b);
    MakeDeci2Hdr((DECI2_HDR*)b, 20, 0xe000, 'H', 'E');
    const unsigned char want[8] = {0x14, 0x00, 0x00, 0x00, 0x00, 0xE0, 0x48, 0x45};
    EXPECT_EQ(0, memcmp(want, b, 8));

    MakeDeci2Hdr((DECI2_HDR*)b, 0xfffe, 0x0230, 'H', 'I');
    EXPECT_EQ(0xfffe, GetLE16(b));
    EXPECT_EQ(0, GetLE16(b + 2));
    EXPECT_EQ(0x0230, GetLE16(b + 4));
    EXPECT_EQ('I', b[7]);
}

TEST_F(Queue, EmptyQueueHasNoHeadForAnyMask)
{
    EXPECT_EQ(nullptr, GetHeadPktByStat(PKT_TO_SEND));
    EXPECT_EQ(nullptr, GetHeadPktByStat(-1));
}

TEST_F(Queue, NullPacketIsRefusedSilentlyAndChangesNothing)
{
    ASSERT_EQ(0, AddPacket(MakePacket(12, 1), PKT_SEND_ONLY));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, AddPacket(nullptr, PKT_SEND_ONLY));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, QueueLength());
}

TEST_F(Queue, PacketsLeaveInOrderAndOnlyTheHeadIsSeen)
{
    ASSERT_EQ(0, AddPacket(MakePacket(12, 1), PKT_SEND_ONLY));
    ASSERT_EQ(0, AddPacket(MakePacket(12, 2), PKT_SEND_REQUEST));
    ASSERT_EQ(0, AddPacket(MakePacket(12, 3), PKT_SEND_ONLY));

    PKT* head = GetHeadPktByStat(PKT_TO_SEND);
    ASSERT_NE(nullptr, head);
    EXPECT_EQ(1, Tag(head));
    // A mask that the head does not match gives nothing, whatever follows.
    EXPECT_EQ(nullptr, GetHeadPktByStat(PKT_SEND_REQUEST));
    DelPacket(head);

    head = GetHeadPktByStat(PKT_SEND_REQUEST);
    ASSERT_NE(nullptr, head);
    EXPECT_EQ(2, Tag(head));

    // Sent and awaiting its reply, the request blocks the packet behind it.
    head->stat *= 2;
    EXPECT_EQ(nullptr, GetHeadPktByStat(PKT_TO_SEND));
    EXPECT_EQ(head, GetHeadPktByStat(PKT_AWAITING_REPLY));
    head->stat *= 2;
    EXPECT_EQ(head, GetHeadPktByStat(PKT_REPLIED));
    DelPacket(head);

    head = GetHeadPktByStat(PKT_TO_SEND);
    ASSERT_NE(nullptr, head);
    EXPECT_EQ(3, Tag(head));
    DelPacket(head);
    EXPECT_EQ(nullptr, GetHeadPktByStat(-1));
}

TEST_F(Queue, DrainingFreesEveryPacketAndEmptiesTheHead)
{
    for (unsigned char i = 0; i < 5; i++)
        ASSERT_EQ(0, AddPacket(MakePacket(20, i), i % 2 ? PKT_SEND_ONLY : PKT_SEND_REQUEST));
    EXPECT_EQ(5, QueueLength());
    // The drain steps past each node before freeing it; the sanitizer build
    // catches a walk through freed memory.
    List* head = QueueHead();
    ListForEach(head, [](List* l) { DelPacket((PKT*)l); });
    EXPECT_EQ(head, head->next);
    EXPECT_EQ(head, head->prev);
    // Destroying a queue that still holds packets frees them as well.
    ASSERT_EQ(0, AddPacket(MakePacket(20, 9), PKT_SEND_ONLY));
    QueueDestroy();
    EXPECT_EQ(nullptr, QueueHead());
    // Nothing can be queued once the queue is gone, and nothing is taken.
    void* late = MakePacket(20, 9);
    EXPECT_EQ(-1, AddPacket(late, PKT_SEND_ONLY));
    free(late);
}

TEST(List, DeleteKeepsTheNodesOwnLinks)
{
    List head = {&head, &head};
    List a, b, c;
    ListInsertAfter(&head, &a);
    ListInsertAfter(&a, &c);
    ListInsertAfter(&a, &b);
    EXPECT_EQ(&a, head.next);
    EXPECT_EQ(&b, a.next);
    EXPECT_EQ(&c, b.next);
    EXPECT_EQ(&c, head.prev);
    EXPECT_EQ(&b, c.prev);

    EXPECT_EQ(&b, ListDelete(&b));
    EXPECT_EQ(&c, a.next);
    EXPECT_EQ(&a, c.prev);
    EXPECT_EQ(&c, b.next);
    EXPECT_EQ(&a, b.prev);
}

}  // namespace
