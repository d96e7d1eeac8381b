/*
 * liblcmp: LCMP (G.hn layer-2 configuration and management protocol,
 * Ethertype 0x22E3) for C hosts and for the Java management class
 * BrundixGhn/NetWork/DeviceCommunication/LCMP/LCMPCommManager.
 *
 * Results: every int32_t result is 0 for success or one of the negative
 * LCMP_ERROR_ codes below.
 *
 * Value lists: a list lives in one variable of its owner (its location); the
 * first add creates it there. Whoever holds the location destroys the list
 * with LCMPValueListDestroy.
 *
 * Threads: the request operations run wholly on the calling thread (in
 * device mode they wait there for the devices' answers). Callbacks
 * for received messages run on the library's single receive thread, which
 * exists only while a session opened with LCMPInit is running. No library lock
 * is held while a callback runs, so a callback may install or remove
 * callbacks, its own included. The same thread hands every device's answer
 * to the request waiting for it: a callback that blocks stalls the answers of
 * every other caller (their requests may time out meanwhile), and LCMPEnd
 * from another thread waits for a running callback to return. Return quickly
 * from a callback and hand slow work to a thread of your own.
 */
#ifndef LCMP_H
#define LCMP_H

#include <stdint.h>

#if defined(_WIN32)
/* lcmp.dll exports what its module definition lists; callers link its
   import library. */
#define LCMP_API
#elif defined(__GNUC__)
#define LCMP_API __attribute__((visibility("default")))
#else
#define LCMP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes. */
#define LCMP_OK 0
#define LCMP_ERROR_SOCKET_NOT_OPENED (-1)
#define LCMP_ERROR_ETH_IF (-2)
#define LCMP_ERROR_SENDTO (-3)
#define LCMP_ERROR_TIMEOUT (-4)
#define LCMP_ERROR_DROP_PACKET (-5)
#define LCMP_ERROR_RECV (-6)
#define LCMP_ERROR_BIND (-7)
#define LCMP_ERROR_ROOM_BOOT (-8)
#define LCMP_ERROR_DISCOVER (-9)
#define LCMP_ERROR_NULL_MAC (-10)
#define LCMP_ERROR_PTHREAD_CREATE (-11)
#define LCMP_ERROR_PTHREAD_JOIN (-12)
#define LCMP_ERROR_BAD_ARGS (-13)
#define LCMP_ERROR_MALLOC (-14)
#define LCMP_ERROR_MAX_IF (-15)
#define LCMP_ERROR_ADDITIONAL_RESULT (-16)
#define LCMP_ERROR_TOO_MANY_DEVICES (-17)
#define LCMP_ERROR_PARAMETER_TYPE (-18)
#define LCMP_ERROR_SEND_PACKET (-19)
#define LCMP_ERROR_SEND_PACKET2 (-20)
#define LCMP_ERROR_CALLBACK (-21)

/* Bounds of what one device-mode request operation collects (see below). */
#define LCMP_RESULT_ENTRY_LIMIT 65535
#define LCMP_RESULT_BYTE_LIMIT (16 * 1024 * 1024)

/* Opcodes: each request is answered by the opcode after it. */
#define LCMP_READ_REQ 352    /* 0x160 */
#define LCMP_READ_CNF 353    /* 0x161 */
#define LCMP_WRITE_REQ 354   /* 0x162 */
#define LCMP_WRITE_CNF 355   /* 0x163 */
#define LCMP_CONTROL_REQ 356 /* 0x164 */
#define LCMP_CONTROL_CNF 357 /* 0x165 */
#define LCMP_NOTIFY_IND 358  /* 0x166 */
#define LCMP_NOTIFY_RSP 359  /* 0x167 */

/* Record types. */
#define LCMP_RECORD_PARAMETER 0
#define LCMP_RECORD_WRITE_CONFIRM 1
#define LCMP_RECORD_READ_PARAMETER 2
#define LCMP_RECORD_CONTROL_PARAMETER 3
#define LCMP_RECORD_CONTROL_CONFIRM 5
#define LCMP_RECORD_NOTIFY 6
#define LCMP_RECORD_NOTIFY_CONFIRM 8

/* Destination kinds of the request operations and of LCMPNotify. */
#define LCMP_DESTINATION_DEVICE 0    /* the deviceMac given by the caller */
#define LCMP_DESTINATION_MULTICAST 1 /* 01:19:A7:52:76:96 */
#define LCMP_DESTINATION_BROADCAST 2 /* FF:FF:FF:FF:FF:FF */

/* One record in unpacked form. sourceMac is set only when the adder gave one. */
typedef struct LCMPValue {
    uint8_t sourceMac[6];
    int32_t type;
    uint16_t length;
    uint8_t *value; /* owned, exactly length bytes */
    struct LCMPValue *next;
} LCMPValue;

/* Records in insertion order. count equals the number of entries. */
typedef struct LCMPValueList {
    uint16_t count;
    LCMPValue *first;
    LCMPValue *last;
} LCMPValueList;

/* Context of one installed callback (opaque). */
typedef struct CallbackData CallbackData;
/* The handle of one installed callback, returned by LCMPCallBackInstall
 * (opaque: never dereferenced). A handle is never reused, so one that outlived
 * its callback names no other. */
typedef struct CallbackEntry CallbackEntry;

/* Called with the records a callback collected; the list may be NULL. */
typedef void (*LCMPValueListFunction)(LCMPValueList *list);
/* Called for each received message whose opcode matches: the sender's 6-byte
 * address and the record area of the message (valid only during the call). */
typedef int (*LCMPCallBackFunction)(const uint8_t *sourceMac, const uint8_t *records, int length,
                                    CallbackData *data);

/* ---- Value lists ---- */

/* Appends a copy of value (length bytes) with the given type and, when
 * sourceMac is not NULL, its 6 bytes. Creates the list at *location on first
 * use. 0, or LCMP_ERROR_MALLOC (the list is then unchanged; a list created by
 * this call stays in *location, empty). */
LCMP_API int32_t LCMPFullValueAdd(LCMPValueList **location, const uint8_t *sourceMac, int32_t type,
                                  uint16_t length, const uint8_t *value);
/* LCMPFullValueAdd with no source address and type 0. */
LCMP_API int32_t LCMPValueAdd(LCMPValueList **location, uint16_t length, const uint8_t *value);
/* Frees the list and all it owns; NULL is accepted. Returns 0. The caller's
 * variable is not reset. */
LCMP_API int32_t LCMPValueListDestroy(LCMPValueList *list);

/* ---- Request operations ----
 * Local mode (the default): compose the request message and produce the
 * confirmation locally: read appends one type 0 entry per request entry,
 * write one type 1 entry, control none. destinationKind: LCMP_DESTINATION_*;
 * deviceMac (6 bytes) is used for kind 0 and may be NULL. Entries go to the
 * list at *resultLocation, which the caller owns afterwards. 0,
 * LCMP_ERROR_MALLOC, or LCMP_ERROR_BAD_ARGS when resultLocation is NULL or
 * the request's records (each entry's length + 3 bytes) pass 65535 bytes,
 * which the message's 16-bit length cannot describe; nothing is appended
 * then.
 *
 * Device mode (LCMPRequestModeSet): the request goes to the destination
 * through the open session and the call waits for the answers of opcode
 * request + 1 (353, 355, 357). The request message carries the adapter's
 * own address; every frame carries the opcode's next sequence number.
 * Device mode needs devices that echo the request's sequence number in
 * their answer: an answer is taken only by the request whose current or
 * earlier attempt carried the number it echoes, only from the addressed
 * device (any device for kinds 1 and 2), and only when its records fit the
 * request (a read confirmation names only parameters that message asked
 * for, a write confirmation only parameters it wrote). Any other answer
 * (late, meant for another process, from another device, not fitting) is
 * dropped, counted (LCMPDeviceStatsGet) and still reaches the callbacks.
 * Once device mode is set, the sequence numbers of this process continue
 * from unpredictable values (every process on an adapter sees the answers
 * sent to the adapter's address); a process that never sets device mode
 * numbers from 0. What is appended: each answer's records of the
 * confirmation's record type (read: type 0 = ID then value; write: type 1 =
 * count then IDs; control: type 5 = one leading byte then IDs), each entry
 * with the answering device's address in sourceMac.
 * - Kind 0 (one device): the first answer from that device ends the call.
 *   No answer within timeoutMs: the request is sent again with a new
 *   sequence number, attempts sends in all; an answer to any of them counts.
 * - Kinds 1 and 2 (multicast, broadcast): the answers of every device are
 *   collected until timeoutMs after the send, one answer per device (its
 *   first); a group read returns one entry per answering device's record.
 *   A new send only when none answered.
 * - A request longer than one message (at most 255 records and 23 872 bytes)
 *   goes in several messages of whole records, one after another; their
 *   answers are appended in request order. A device whose answer would not
 *   fit one message answers with the whole records that fit: the call
 *   returns those (so a read of very long values may return fewer entries
 *   than IDs asked for; ask for fewer IDs at a time).
 * - One call collects at most LCMP_RESULT_ENTRY_LIMIT entries in the result
 *   list (the entries it held before included, so that its 16-bit count
 *   never wraps) and LCMP_RESULT_BYTE_LIMIT bytes of values. An answer that
 *   would pass either bound ends the collection: the answers before it are
 *   appended (whole answers only), nothing more is sent, and the call
 *   returns LCMP_ERROR_ADDITIONAL_RESULT: the result is incomplete (ask
 *   fewer devices or parameters at a time).
 * Results: 0; LCMP_ERROR_SOCKET_NOT_OPENED (no session, or the session ended
 * while the call waited: LCMPEnd ends waiting calls at once; a unicast
 * request whose answer had come returns it with 0);
 * LCMP_ERROR_BAD_ARGS (kind 0 without deviceMac or with a group address,
 * i.e. the lowest bit of its first byte set; another kind; NULL
 * resultLocation; any record too long for a message; or a call on the
 * receive thread, from a callback, which must deliver the answer: hand such
 * requests to another thread. Nothing is sent then);
 * LCMP_ERROR_TIMEOUT (a message got no answer after all attempts: nothing at
 * all is appended, also not the answers of earlier messages of the same
 * call); LCMP_ERROR_ETH_IF (the adapter has no Ethernet address);
 * LCMP_ERROR_SENDTO; LCMP_ERROR_MALLOC (entries kept so far are appended);
 * LCMP_ERROR_ADDITIONAL_RESULT (a bound was reached, see above).
 * Any number of threads may wait at once; an answer goes to the request of
 * its device, opcode and echoed sequence number, never to another. The
 * caller waits on its own thread (a lone unicast request yields for its
 * answer for up to 50 microseconds before it blocks); the receive thread
 * only hands the answer over and never waits for the caller. Every
 * answer also reaches the callbacks installed for its opcode, once, on the
 * receive thread, as any received message does. */
LCMP_API int32_t LCMPRead(LCMPValueList *request, int32_t destinationKind, const uint8_t *deviceMac,
                          LCMPValueList **resultLocation);
LCMP_API int32_t LCMPWrite(LCMPValueList *request, int32_t destinationKind, const uint8_t *deviceMac,
                           LCMPValueList **resultLocation);
LCMP_API int32_t LCMPControl(LCMPValueList *request, int32_t destinationKind, const uint8_t *deviceMac,
                             LCMPValueList **resultLocation);

/* ---- Request mode ----
 * LCMP_REQUESTS_LOCAL (the default): the request operations and LCMPNotify
 * compose their messages and produce the confirmations locally, as described
 * above; nothing is sent. LCMP_REQUESTS_DEVICE: requests travel to the
 * devices through the session opened with LCMPInit and the call waits for
 * their answers: timeoutMs for each attempt (a group request collects
 * answers for timeoutMs after each send), attempts sends in all. The mode is
 * process-wide and read by each call as it starts. LCMPInit and LCMPEnd
 * leave it alone: in device mode without a session (none opened yet, or
 * ended by LCMPEnd) requests and LCMPNotify return
 * LCMP_ERROR_SOCKET_NOT_OPENED, never local answers, until LCMPInit opens a
 * session again or this call sets LCMP_REQUESTS_LOCAL. Device-mode frames are
 * sent without the "sending packet size" line of LCMPPacketSend. 0, or
 * LCMP_ERROR_BAD_ARGS for an unknown mode, a zero timeout or zero attempts
 * (the mode is then unchanged). */
#define LCMP_REQUESTS_LOCAL 0
#define LCMP_REQUESTS_DEVICE 1
LCMP_API int32_t LCMPRequestModeSet(int32_t mode, uint32_t timeoutMs, uint32_t attempts);

/* ---- Notification subscription ----
 * Replaces the current subscription: function (may be NULL) is called on the
 * receive thread with the type 6 records of every notification (opcode 358).
 * The caller keeps and destroys list. 0, LCMP_ERROR_MALLOC,
 * LCMP_ERROR_CALLBACK, or LCMP_ERROR_BAD_ARGS when the records of list (each
 * entry's length + 3 bytes) pass 65535 bytes. On LCMP_ERROR_MALLOC and
 * LCMP_ERROR_BAD_ARGS the current subscription stays in place.
 * Device mode: the subscription message (list's entries as type 6 records,
 * flag byte) is also sent to the destination with opcode 358, after the new
 * subscription is in place, so that no notification it causes is missed.
 * The call does not wait: the device's notify response (opcode 359) reaches
 * the callbacks installed for 359, its notifications reach function.
 * Further results: LCMP_ERROR_SOCKET_NOT_OPENED without a session, also
 * when LCMPEnd ends the session during the call (no subscription is left
 * then); LCMP_ERROR_BAD_ARGS for kind 0 without deviceMac or with a group
 * address, another kind, or a subscription message longer than one message
 * (23 872 bytes) (all before the subscription is touched); a failed send's
 * code (the new subscription stays). */
LCMP_API int32_t LCMPNotify(LCMPValueList *list, int32_t destinationKind, const uint8_t *deviceMac,
                            LCMPValueListFunction function, uint8_t flag);

/* ---- Callback data ----
 * resultLocation (may be NULL): where collected records are appended; owner: a
 * word for the creator; function (may be NULL). NULL when memory is exhausted.
 * Destroy only after the callback's registry entry has been removed; if a
 * delivery to the record is still running, the release happens when it ends. */
LCMP_API CallbackData *CallbackDataCreate(LCMPValueList **resultLocation, int32_t filterType, uintptr_t owner,
                                          LCMPValueListFunction function);
LCMP_API void CallbackDataDestroy(CallbackData *data);

/* ---- Callback registry ----
 * Install: the handle, or NULL when memory is exhausted or function is NULL.
 * Uninstall: 0; a handle whose callback is no longer installed (removed, or
 * dropped with the registry when a session ended) is ignored. Once Uninstall
 * has returned, the callback is never called again (a call already running
 * finishes). JavaUninstall, for the Java bridge, removes the Java callback
 * registration at position index (registration order), destroys its
 * CallbackData and returns its owner word, or 0 when nothing was removed; a C
 * host's callbacks take no position, whatever their owner word. */
LCMP_API CallbackEntry *LCMPCallBackInstall(LCMPCallBackFunction function, int32_t opcode, CallbackData *data);
LCMP_API int32_t LCMPCallBackUninstall(CallbackEntry *entry);
LCMP_API uintptr_t LCMPCallBackJavaUninstall(int32_t index);
/* Delivers one complete message (payload after the 22-byte frame header) to
 * every installed callback of its opcode, on the calling thread. Messages
 * whose header or record area does not fit payloadLength are dropped. */
LCMP_API void CallbacksExecute(const uint8_t *sourceMac, int32_t opcode, const uint8_t *payload,
                               uint16_t payloadLength);

/* Runs one captured Ethernet frame through the receive path of a session
 * (decode, reassembly, dispatch to the installed callbacks, ageing of partial
 * messages on the capture clock), on the calling thread, for hosts that
 * capture or replay frames themselves. Results: LCMP_FRAME_DISPATCHED (a
 * complete message was handed to the registry), LCMP_FRAME_HELD (a segment
 * waits for the others), LCMP_FRAME_IGNORED (not an LCMP frame),
 * LCMP_ERROR_DROP_PACKET (an LCMP frame whose payload runs past the captured
 * bytes), LCMP_ERROR_MALLOC, or LCMP_ERROR_BAD_ARGS (NULL frame, or a session's
 * receive thread is running: only one thread may feed frames). */
#define LCMP_FRAME_DISPATCHED 0
#define LCMP_FRAME_HELD 1
#define LCMP_FRAME_IGNORED 2
LCMP_API int32_t LCMPFrameProcess(const uint8_t *frame, uint32_t length, int64_t seconds, int32_t microseconds);

/* Reassembly of segmented messages (in a session or through LCMPFrameProcess)
 * holds each partial message until its last segment arrives. A partial
 * message is dropped once more than 50 ms of capture time have passed since
 * it last received a segment, before the next frame is handled, so a segment
 * arriving later never joins it. A segment that cannot belong to the partial
 * message held for its sender, opcode and sequence number (another
 * last-segment number, or other bytes under a segment number already held)
 * starts another message and replaces it (counted in neither drop count
 * below). When the capture clock steps back (an NTP step, a reordered
 * savefile), the time before the step still counts and ageing goes on from
 * the step, with "Error: negative elapsed time!" on stderr once
 * per step. Partial messages also hold at most LCMP_REASSEMBLY_BYTE_LIMIT
 * bytes of memory (segments, their payload and bookkeeping): beyond it the
 * ones that least recently received a segment are dropped first.
 * LCMPReassemblyStatsGet copies the counters, from any thread: 0, or
 * LCMP_ERROR_BAD_ARGS for NULL. The drop counts run from the library's load;
 * the held figures are those of the thread that feeds frames, at the time of
 * the call (0 once a session's receive loop has ended). */
#define LCMP_REASSEMBLY_BYTE_LIMIT (4 * 1024 * 1024)
typedef struct LCMPReassemblyStats {
    uint64_t droppedByAge;       /* partial messages dropped after waiting more than 50 ms */
    uint64_t droppedByByteLimit; /* partial messages dropped to stay within the byte limit */
    uint64_t bytesHeld;          /* memory held by partial messages now */
    uint64_t messagesHeld;       /* partial messages held now */
} LCMPReassemblyStats;
LCMP_API int32_t LCMPReassemblyStatsGet(LCMPReassemblyStats *stats);

/* What device mode did with the confirmations (opcodes 353, 355, 357)
 * received from the first device-mode request on: answers taken by a waiting
 * request, and answers dropped (each in one counter; answers past a
 * collection bound show only in incompleteResults). Every one of them
 * reached the callbacks all the same. LCMPDeviceStatsGet copies
 * the counters, from any thread: 0, or LCMP_ERROR_BAD_ARGS for NULL. */
typedef struct LCMPDeviceStats {
    uint64_t answersTaken;      /* handed to the request they answer */
    uint64_t droppedLate;       /* echo an attempt of a request that had ended (timed out or answered) */
    uint64_t droppedForeign;    /* echo no attempt of this process, or come from a device not addressed */
    uint64_t droppedIllFitting; /* name a parameter the request did not ask for or write, or are malformed */
    uint64_t droppedDuplicate;  /* a device's further answer to a request it had answered */
    uint64_t incompleteResults; /* calls that stopped collecting at a bound (LCMP_ERROR_ADDITIONAL_RESULT) */
} LCMPDeviceStats;
LCMP_API int32_t LCMPDeviceStatsGet(LCMPDeviceStats *stats);

/* ---- Adapter session ---- */

/* Opens the adapter (libpcap name, e.g. "eth0"; on Windows Npcap's name
 * \Device\NPF_{GUID}, the {GUID} or the friendly name such as "Ethernet 2")
 * for capture and starts the receive thread, which from then on runs every callback for received
 * messages. Frames of Ethertype 0x22E3 addressed to the adapter's own address
 * are captured, segmented messages reassembled. Needs root or
 * cap_net_raw,cap_net_admin. A session that a callback ended with LCMPEnd is
 * closed first (after that callback has returned), so a new one opens without
 * another LCMPEnd. Results: 0; LCMP_ERROR_BAD_ARGS (NULL name, a name of 100
 * characters or more, a session already open, or a call from a callback);
 * LCMP_ERROR_SOCKET_NOT_OPENED (the adapter cannot be opened: the message
 * names it on stderr); LCMP_ERROR_PTHREAD_CREATE (no thread; the adapter stays
 * open until LCMPEnd). */
LCMP_API int32_t LCMPInit(const char *adapterName);
/* Ends device-mode calls still waiting for answers (they return
 * LCMP_ERROR_SOCKET_NOT_OPENED at once), stops the receive thread (a running
 * callback finishes first), destroys the
 * callback registry with every entry (CallbackData records stay with their
 * owners), closes the adapter and releases the Notify subscription. Safe
 * without a session and when called twice. From a callback it releases the
 * subscription and requests the stop, and returns at once: the receive loop
 * ends when the callback returns, and the adapter stays open (frames can still
 * be sent) until LCMPEnd or LCMPInit is called from another thread. The
 * request mode stays as it is (LCMPRequestModeSet). */
LCMP_API void LCMPEnd(void);
/* What became of the session, from any thread at any time: LCMP_SESSION_NONE
 * (none is open), LCMP_SESSION_RECEIVING (open, its receive loop running) or
 * LCMP_SESSION_ENDED (open, but its receive loop has ended: the adapter went
 * away or failed, or a callback called LCMPEnd; no message arrives any more,
 * and LCMPEnd closes the session). A host that waits for messages polls it to
 * learn that none will come. */
#define LCMP_SESSION_NONE 0
#define LCMP_SESSION_RECEIVING 1
#define LCMP_SESSION_ENDED 2
LCMP_API int32_t LCMPSessionState(void);
/* Suspends the calling thread for the given number of milliseconds. */
LCMP_API void LCMPSleep(int32_t milliseconds);

/* Sends one unsegmented message through the open session: the frame carries
 * destination (6 bytes), the adapter's own address, the link header with
 * opcode (352..359), length (at most 1492 payload bytes) and the opcode's next
 * sequence number, which is stored in *sequenceOut (may be NULL). Safe from
 * any thread, also while LCMPEnd runs. Results: 0 ("sending packet size N" on
 * stderr); LCMP_ERROR_BAD_ARGS (NULL destination, bad opcode or length; no
 * sequence number is used); LCMP_ERROR_SOCKET_NOT_OPENED (no session);
 * LCMP_ERROR_MALLOC; LCMP_ERROR_ETH_IF (the adapter's address cannot be
 * read); LCMP_ERROR_SENDTO (the send failed; the message is on stderr). A
 * send that fails after the checks still uses up its sequence number. */
LCMP_API int32_t LCMPPacketSend(const uint8_t *destination, int32_t opcode, uint16_t length, const uint8_t *payload,
                                uint16_t *sequenceOut);
/* Reads the current 6-byte MAC address of the named adapter into mac. 0, or
 * -1 with a message on stderr. */
LCMP_API int32_t MacAddressGet(const char *adapterName, uint8_t *mac);

#ifdef __cplusplus
}
#endif

#endif /* LCMP_H */
