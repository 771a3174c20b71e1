// The structure index: where each structure that the walk reaches starts, grouped by type, in table
// order within a type. It is built once, after the table copy is read, by walking the copy exactly
// as a query would; a query then finds the n-th structure of a type without a walk.
//
// It stays true as long as the walk would find the same structures. A walk reads whether bytes are
// zero, and the type and length bytes of the structures it passes. A string query rewrites
// unprintable bytes of one string, never to or from zero; and a string lies in its structure's
// string area, before the double zero that ends it and so before the next structure, so the only
// header it can cover is its own structure's, when the formatted area is shorter than the two
// header bytes. Such a rewrite retires the index, and the queries walk from then on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarnsys/smb_table.h"

// One heap block: this header, then the structure offsets.
struct SmbIndex {
  // False once a string query has rewritten a header byte: the queries then walk.
  bool current = true;
  // Where in starts() the structures of each type begin; entry 256 is the number of structures.
  std::uint16_t typeStart[257] = {};

  // The offsets of the structures in the copy, by type, in table order within a type. Structures
  // start at least 2 bytes apart (a zero-length header and its double zero), so there are at most
  // half as many as the copy has bytes: the block holds at most the copy's length and this header.
  std::uint16_t* starts() { return reinterpret_cast<std::uint16_t*>(this + 1); }
  const std::uint16_t* starts() const { return reinterpret_cast<const std::uint16_t*>(this + 1); }
};

// Builds the index of the loaded copy. Without a copy, or when its memory cannot be had, there is
// none and the queries walk.
void BuildSmbIndex();

// Frees the index; the queries then walk.
void FreeSmbIndex();

// The index while it is current, else null.
const SmbIndex* CurrentSmbIndex();

// The instance-th structure (from 0) of the low 8 bits of `type`, as WalkToSmbStructure finds it
// on the copy that the index describes.
std::uint8_t* IndexedSmbStructure(const SmbIndex& index, int type, int instance);

// To be called before a string of `structure` (one that the queries found) is sanitised: retires the
// index when the string covers a byte of the structure's header.
void BeforeStringRewrite(const std::uint8_t* structure, SmbText text);
