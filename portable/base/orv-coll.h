// Container templates of orv-lib: the growable array COrvArray, the doubly linked list COrvList,
// the hash map COrvMap, the ordered map COrvRBMap (red-black tree) and the checked view
// COrvFixedArray, with the key traits they use.
//
// This header only gathers them: each container has a header of its own (orv-array.h,
// orv-list.h, orv-hash-map.h, orv-rb-map.h) over what they share (orv-coll-base.h).
#pragma once

#include "orv-array.h"
#include "orv-hash-map.h"
#include "orv-list.h"
#include "orv-rb-map.h"
