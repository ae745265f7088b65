// The DECI2 header every packet starts with, and the packet queue: the
// program's whole flow control.
#include "deci2.h"

#include <stdlib.h>

#include "diag.h"

// The queue head; its stat and deci2 are never used.
static PKT* pl;

void MakeDeci2Hdr(DECI2_HDR* hdr, uint16_t l, uint16_t p, uint8_t s, uint8_t d)
{
    unsigned char* b = (unsigned char*)hdr;

    PutLE16(b + 0, l);
    PutLE16(b + 2, 0);
    PutLE16(b + 4, p);
    b[6] = s;
    b[7] = d;
}

int QueueCreate(void)
{
    pl = (PKT*)calloc(1, sizeof(PKT));
    if (pl == NULL)
        return -1;
    pl->list.next = &pl->list;
    pl->list.prev = &pl->list;
    return 0;
}

static void DelPacketLink(List* link)
{
    DelPacket((PKT*)link);
}

void QueueDestroy(void)
{
    if (pl == NULL)
        return;
    if (pl->list.next != &pl->list)
        ListForEach(&pl->list, DelPacketLink);
    free(pl);
    pl = NULL;
}

List* QueueHead(void)
{
    return pl ? &pl->list : NULL;
}

int AddPacket(void* buf, int stat)
{
    PKT* node;

    // A builder that ran out of memory hands over null; its caller reports.
    if (buf == NULL || pl == NULL)
        return -1;
    node = (PKT*)malloc(sizeof(PKT));
    if (node == NULL) {
        DBG_LINE("cannot allocate memory");
        return -1;
    }
    node->deci2 = (DECI2_HDR*)buf;
    node->stat = stat;
    ListInsertAfter(pl->list.prev, node);
    return 0;
}

void DelPacket(PKT* pkt)
{
    ListDelete(pkt);
    free(pkt->deci2);
    free(pkt);
}

PKT* GetHeadPktByStat(int stat)
{
    PKT* head;

    if (pl == NULL || pl->list.next == &pl->list)
        return NULL;
    head = (PKT*)pl->list.next;
    return (head->stat & stat) ? head : NULL;
}

void MarkHeadReplied(void)
{
    PKT* head = GetHeadPktByStat(PKT_AWAITING_REPLY);

    if (head != NULL)
        head->stat = PKT_REPLIED;
}
