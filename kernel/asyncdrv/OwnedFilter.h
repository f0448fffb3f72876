// OWNED_FILTER: a filter description that owns everything it points to. The USB audio-class
// library builds pins, nodes and connections afresh each time, but its data ranges live in its
// streaming-interface records and are rebuilt for every rate; each description therefore keeps
// its own copy of every pin's data ranges, so that a later build (after a rate change) leaves
// it intact for the port and the filters that still use it.
#pragma once
#include <portcls.h>

struct OWNED_FILTER {
    PCFILTER_DESCRIPTOR Descriptor;
    // One pool block (tag 'USBA'): every pin's data-range pointers, then the ranges and
    // attribute lists they point to.
    PUCHAR Ranges;
    BOOLEAN Built;
};

// Copies every pin's data ranges of Filter into one block and points the pins at the copy.
// STATUS_INSUFFICIENT_RESOURCES (nothing changed) without memory. PASSIVE_LEVEL.
NTSTATUS OwnFilterDataRanges(PPCFILTER_DESCRIPTOR Filter, POOL_TYPE PoolType, PUCHAR *Block);
