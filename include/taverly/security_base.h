/* Describes what a product's security base (Brindle.dll, libBrindle.so) must
   export for Taverly to start it: the factory, the interface identifier it is
   asked for, and the object whose table's fourth slot, Start, is called once.
   Plain C, so that a security base written in C or C++ can include it, and so
   can the program itself: this header is the one definition of the contract. */
#ifndef TAVERLY_SECURITY_BASE_H
#define TAVERLY_SECURITY_BASE_H

#include <stdint.h>

#include "taverly/item_library.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A 16-byte interface identifier, laid out like the Windows GUID. */
typedef struct TaverlyGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
} TaverlyGuid;

/* {7A3C2E91-5B64-4D0F-9E2A-C81B47F3D605}: the interface the factory is asked
   for. An initializer, so that C and C++ can both make a constant of it. */
#define TAVERLY_IID_SECURITY_BASE_INIT                                                        \
  {                                                                                           \
    0x7A3C2E91u, 0x5B64u, 0x4D0Fu, { 0x9Eu, 0x2Au, 0xC8u, 0x1Bu, 0x47u, 0xF3u, 0xD6u, 0x05u } \
  }

/* The name the factory is exported under. */
#define TAVERLY_SECURITY_BASE_FACTORY "CreateHOXObject"

/* The factory: fills *object with the main object. Taverly does not look at
   the result; a non-null object counts as success, and the object is never
   released. */
typedef int32_t (*TaverlySecurityBaseFactory)(const TaverlyGuid* iid, void** object);

typedef struct TaverlySecurityBase TaverlySecurityBase;

/* The object's table. Taverly calls only slot 3, start, once, after the
   library's signature was found valid; the first three slots must be there
   so that start lies where the program looks for it. */
typedef struct TaverlySecurityBaseTable {
  int32_t (*query_interface)(TaverlySecurityBase* self, const TaverlyGuid* iid, void** object);
  int32_t (*add_ref)(TaverlySecurityBase* self);
  int32_t (*release)(TaverlySecurityBase* self);
  int32_t (*start)(TaverlySecurityBase* self);
} TaverlySecurityBaseTable;

/* The slot of start in the table, counted from 0. */
#define TAVERLY_SECURITY_BASE_START_SLOT 3

/* The object as Taverly sees it: its first member points at the table. A
   security base may put its own state after it. */
struct TaverlySecurityBase {
  const TaverlySecurityBaseTable* table;
};

#ifdef __cplusplus
}
#endif

#endif /* TAVERLY_SECURITY_BASE_H */
