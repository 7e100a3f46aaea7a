/* The contract between the program and the product's security-base library.
   Plain C so that a library written in C can include it too. */
#ifndef TAVERLY_LW_SECURITY_BASE_H
#define TAVERLY_LW_SECURITY_BASE_H

#include <stdint.h>

#include "Bundle/LwGuid.h"

/* {7A3C2E91-5B64-4D0F-9E2A-C81B47F3D605}: the security base's main interface. */
#define LW_IID_SECURITY_BASE_INIT                                                             \
  {                                                                                           \
    0x7A3C2E91u, 0x5B64u, 0x4D0Fu, { 0x9Eu, 0x2Au, 0xC8u, 0x1Bu, 0x47u, 0xF3u, 0xD6u, 0x05u } \
  }

/* The factory export "CreateHOXObject": fills *object with the main object.
   Its result is not looked at; a non-null object counts as success. */
typedef int32_t (*LwCreateHOXObjectFn)(const LwGuid* iid, void** object);

#ifdef __cplusplus
/* The main object as the program calls it: only slot 3, Start, is used, once.
   A C library may hand out any object whose first member points at a table of
   four functions taking the object, the fourth being Start. */
struct ILwSecurityBase {
  virtual int32_t QueryInterface(const LwGuid& iid, void** object) = 0;
  virtual int32_t AddRef() = 0;
  virtual int32_t Release() = 0;
  virtual int32_t Start() = 0;

 protected:
  // The object belongs to the library: the program never destroys it, so the
  // table holds no destructor.
  ~ILwSecurityBase() = default;
};
#endif

#endif /* TAVERLY_LW_SECURITY_BASE_H */
