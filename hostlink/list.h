// Intrusive circular doubly linked list. A node record begins with its List
// link, so a pointer to the node and to its link are the same address.
#ifndef HOSTLINK_LIST_H
#define HOSTLINK_LIST_H

typedef struct List {
    struct List* next;
    struct List* prev;
} List;

void ListInsertAfter(void* node, void* newnode);
void* ListDelete(void* node);
void ListForEach(List* list, void (*proc)(List*));

#endif
