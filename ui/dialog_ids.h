/*
 * Resource and control ids of the Tag Format dialog, shared by the dialog's
 * code and the resource script (plain macros, so windres can read them).
 */
#ifndef ZEL_DIALOG_IDS_H
#define ZEL_DIALOG_IDS_H

#define ZEL_TAG_FORMAT_TEMPLATE 101

/* Address type radio buttons. */
#define ZEL_ID_REGULAR_RADIO 1064
#define ZEL_ID_LINE_SHORTED_RADIO 1063
#define ZEL_ID_BATTERY_RADIO 1013
#define ZEL_ID_CKT_RADIO 1062

/* Address fields: edits, their spins and labels. */
#define ZEL_ID_BUS_EDIT 1037
#define ZEL_ID_BUS_SPIN 1036
#define ZEL_ID_BUS_LABEL 1057
#define ZEL_ID_SLOT_EDIT 1007
#define ZEL_ID_SLOT_SPIN 1006
#define ZEL_ID_SLOT_LABEL 1058
#define ZEL_ID_POINT_EDIT 1010
#define ZEL_ID_POINT_SPIN 1011
#define ZEL_ID_ADDRESS_LABEL 1055

/* The standard command buttons and the unnamed group boxes. */
#define ZEL_ID_OK 1
#define ZEL_ID_CANCEL 2
#define ZEL_ID_GROUP_BOX (-1)

#endif /* ZEL_DIALOG_IDS_H */
