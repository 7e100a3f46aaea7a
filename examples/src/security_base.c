/* The example security base, written in C against the public header: its
   object starts with a pointer to the table whose fourth slot is Start.
   Start leaves "brindle_started.txt" in the current directory. The factory
   reports an error although it hands out the object, which the program must
   still accept. */
#include <stdio.h>
#include <string.h>

#include "taverly/security_base.h"

typedef struct {
  TaverlySecurityBase base; /* first, so the object is a TaverlySecurityBase */
  int started;
} DemoSecurityBase;

static int32_t QueryInterface(TaverlySecurityBase* self, const TaverlyGuid* iid, void** object) {
  (void)self;
  (void)iid;
  (void)object;
  return (int32_t)0x80004001u;
}
static int32_t AddRef(TaverlySecurityBase* self) {
  (void)self;
  return 1;
}
static int32_t Release(TaverlySecurityBase* self) {
  (void)self;
  return 1;
}
static int32_t Start(TaverlySecurityBase* self) {
  DemoSecurityBase* demo = (DemoSecurityBase*)self;
  FILE* file = fopen("brindle_started.txt", "ab");
  demo->started++;
  if (file != NULL) {
    fprintf(file, "started %d\n", demo->started);
    fclose(file);
  }
  return 0;
}

static const TaverlySecurityBaseTable kTable = {QueryInterface, AddRef, Release, Start};
static DemoSecurityBase object = {{&kTable}, 0};

/* Exported as TAVERLY_SECURITY_BASE_FACTORY names it. */
TAVERLY_EXPORT int32_t CreateHOXObject(const TaverlyGuid* iid, void** out) {
  static const TaverlyGuid expected = TAVERLY_IID_SECURITY_BASE_INIT;
  if (memcmp(iid, &expected, sizeof expected) != 0) {
    return (int32_t)0x80004002u; /* unknown interface: no object */
  }
  *out = &object;
  return (int32_t)0x80004005u;
}
