// Intrusive circular doubly linked list: the packet queue's links.
#include "list.h"

void ListInsertAfter(void* node, void* newnode)
{
    List* n = (List*)node;
    List* nn = (List*)newnode;

    nn->next = n->next;
    nn->prev = n;
    n->next->prev = nn;
    n->next = nn;
}

// The node's own links are left as they were, so a caller walking the list
// can still step from a node it has just unlinked.
void* ListDelete(void* node)
{
    List* n = (List*)node;

    n->prev->next = n->next;
    n->next->prev = n->prev;
    return node;
}

void ListForEach(List* list, void (*proc)(List*))
{
    List* cur = list->next;

    while (cur != list) {
        // Taken before the call: proc may unlink and free the node.
        List* next = cur->next;
        proc(cur);
        cur = next;
    }
}
