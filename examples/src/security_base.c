/* The example security base, written in C: its object is a pointer to a table of
   four functions, the fourth being Start. Start leaves "brindle_started.txt"
   in the current directory. The factory reports an error although it hands
   out the object, which the program must still accept. */
#include <stdio.h>

#include "CallPlugins/LwSecurityBase.h"

typedef struct SecurityBase SecurityBase;
typedef struct {
  int32_t (*query_interface)(SecurityBase* self, const LwGuid* iid, void** object);
  int32_t (*add_ref)(SecurityBase* self);
  int32_t (*release)(SecurityBase* self);
  int32_t (*start)(SecurityBase* self);
} SecurityBaseTable;
struct SecurityBase {
  const SecurityBaseTable* table;
  int started;
};

static int32_t QueryInterface(SecurityBase* self, const LwGuid* iid, void** object) {
  (void)self;
  (void)iid;
  (void)object;
  return (int32_t)0x80004001u;
}
static int32_t AddRef(SecurityBase* self) {
  (void)self;
  return 1;
}
static int32_t Release(SecurityBase* self) {
  (void)self;
  return 1;
}
static int32_t Start(SecurityBase* self) {
  FILE* file = fopen("brindle_started.txt", "ab");
  self->started++;
  if (file != NULL) {
    fprintf(file, "started %d\n", self->started);
    fclose(file);
  }
  return 0;
}

static const SecurityBaseTable kTable = {QueryInterface, AddRef, Release, Start};
static SecurityBase object = {&kTable, 0};

TAVERLY_EXPORT int32_t CreateHOXObject(const LwGuid* iid, void** out) {
  static const LwGuid expected = LW_IID_SECURITY_BASE_INIT;
  const unsigned char* a = (const unsigned char*)iid;
  const unsigned char* b = (const unsigned char*)&expected;
  for (unsigned i = 0; i < sizeof expected; ++i) {
    if (a[i] != b[i]) return (int32_t)0x80004002u; /* unknown interface: no object */
  }
  *out = &object;
  return (int32_t)0x80004005u;
}
