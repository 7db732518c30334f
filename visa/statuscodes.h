/* Every status value of visa.h with its description: the one table behind
 * viStatusDesc. Internal to the VISA library. */
#ifndef CV_VISA_STATUSCODES_H
#define CV_VISA_STATUSCODES_H

#include "visa.h"

#define CV_VISA_STATUS_LIST(X)                                                                                         \
    X(VI_SUCCESS, "Operation completed successfully.")                                                                 \
    X(VI_SUCCESS_EVENT_DIS, "Specified event is already disabled for at least one of the specified mechanisms.")       \
    X(VI_SUCCESS_QUEUE_EMPTY, "Operation completed successfully, but queue was already empty.")                        \
    X(VI_SUCCESS_TERM_CHAR, "The specified termination character was read.")                                           \
    X(VI_SUCCESS_MAX_CNT, "The number of bytes read is equal to the input count.")                                     \
    X(VI_WARN_CONFIG_NLOADED,                                                                                          \
      "The specified configuration either does not exist or could not be loaded; defaults are used.")                  \
    X(VI_WARN_NULL_OBJECT, "The specified object reference is uninitialized.")                                         \
    X(VI_WARN_UNKNOWN_STATUS, "The status code passed to the operation could not be interpreted.")                     \
    X(VI_ERROR_SYSTEM_ERROR, "Unknown system error (miscellaneous error).")                                            \
    X(VI_ERROR_INV_OBJECT, "The given session or object reference is invalid.")                                        \
    X(VI_ERROR_RSRC_LOCKED, "Specified type of lock cannot be obtained, or specified operation cannot be performed, "  \
                            "because the resource is locked.")                                                         \
    X(VI_ERROR_INV_EXPR, "Invalid expression specified for search.")                                                   \
    X(VI_ERROR_RSRC_NFOUND,                                                                                            \
      "Insufficient location information or the device or resource is not present in the system.")                     \
    X(VI_ERROR_INV_RSRC_NAME, "Invalid resource reference specified. Parsing error.")                                  \
    X(VI_ERROR_INV_ACC_MODE, "Invalid access mode.")                                                                   \
    X(VI_ERROR_TMO, "Timeout expired before operation completed.")                                                     \
    X(VI_ERROR_INV_EVENT, "Specified event type is not supported by the resource.")                                    \
    X(VI_ERROR_INV_MECH, "Invalid mechanism specified.")                                                               \
    X(VI_ERROR_NENABLED, "The session must be enabled for events of the specified type in order to receive them.")     \
    X(VI_ERROR_NSUP_ATTR,                                                                                              \
      "The specified attribute is not defined or supported by the referenced session, event, or find list.")           \
    X(VI_ERROR_NSUP_ATTR_STATE, "The specified state of the attribute is not valid, or is not supported as defined "   \
                                "by the session, event, or find list.")                                                \
    X(VI_ERROR_ATTR_READONLY, "The specified attribute is read-only.")                                                 \
    X(VI_ERROR_INV_SETUP,                                                                                              \
      "Unable to start operation because setup is invalid (due to attributes being set to an inconsistent state).")    \
    X(VI_ERROR_ALLOC, "Insufficient system resources to perform necessary memory allocation.")                         \
    X(VI_ERROR_INV_MASK, "Invalid buffer mask specified.")                                                             \
    X(VI_ERROR_IO, "Could not perform operation because of I/O error.")                                                \
    X(VI_ERROR_NSUP_OPER, "The given session or object reference does not support this operation.")                    \
    X(VI_ERROR_USER_BUF, "A specified user buffer is not valid or cannot be accessed for the required size.")          \
    X(VI_ERROR_INV_PARAMETER, "The value of some parameter (which parameter is not known) is invalid.")                \
    X(VI_ERROR_RSRC_BUSY, "The resource is valid, but VISA cannot currently access it.")                               \
    X(VI_ERROR_CONN_LOST, "The connection for the given session has been lost.")

#endif
