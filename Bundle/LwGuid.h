/* The 16-byte interface identifier of the component-object family, laid out
   like the platform's GUID. Plain C, so a product library written in C can
   include it with the security-base contract. */
#ifndef TAVERLY_LW_GUID_H
#define TAVERLY_LW_GUID_H

#include <stdint.h>

typedef struct LwGuid {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
} LwGuid;

#endif /* TAVERLY_LW_GUID_H */
