/* Names the public interface identifier type for the bundle and the rest of
   the program, which know it as LwGuid: the type itself is defined once, in
   the public security-base header. */
#ifndef TAVERLY_LW_GUID_H
#define TAVERLY_LW_GUID_H

#include "taverly/security_base.h"

typedef TaverlyGuid LwGuid;

#endif /* TAVERLY_LW_GUID_H */
