package BrundixGhn.NetWork.DeviceCommunication.LCMP;

import java.io.File;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * An adapter session in device mode: while it is open, {@link LCMPCommManager#LCMP_Read_Wrapper},
 * {@link LCMPCommManager#LCMP_Write_Wrapper}, {@link LCMPCommManager#LCMP_Control_Wrapper} and
 * {@link LCMPCommManager#LCMP_Notify_Wrapper} send their requests to the devices on the adapter and
 * wait for the answers, and the library's receive thread delivers every received message to the
 * registered callbacks. A process that never opens a session gets answers the library makes up
 * itself, and nothing is sent.
 *
 * <p>Once a session has been opened, the process stays in device mode: after {@link #close()} the
 * four wrappers throw {@link LCMPCommManager.LCMPException} naming
 * {@code LCMP_ERROR_SOCKET_NOT_OPENED} ("no session is open") until a session opens again, also
 * on threads whose request was waiting when the session closed. Only
 * {@link #useLocalAnswers()} returns the process to made-up answers.
 *
 * <pre>{@code
 * LCMPCommManager.initIDs();
 * try (LCMPSession session = LCMPSession.open("eth0")) {
 *     LCMPResponse r = LCMPCommManager.LCMP_Read_Wrapper((byte) 0, (byte) 0, ids, device);
 * } catch (LCMPCommManager.LCMPTimeOutException e) {
 *     // the device did not answer any attempt
 * }
 * }</pre>
 *
 * <p>The receive thread is attached to the JVM while the session is open, as a daemon thread named
 * {@code lcmp-receive ADAPTER} (so a callback that blocks does not keep the JVM from exiting), and
 * every callback of the session runs on that one {@link Thread}. An exception a callback throws goes
 * to that thread's uncaught-exception handler once its delivery ends; the deliveries after it go on.
 *
 * <p>One session at a time per process. {@link LCMPCommManager#initIDs()} must have been called
 * first, as for every native method of the library. Opening an adapter needs root, or the
 * capabilities {@code cap_net_raw,cap_net_admin} on the Java binary. {@link #open} and
 * {@link #close()} are one step each with respect to each other, from any threads.
 *
 * <p>Callbacks run on the library's one receive thread, which also hands every device's answer
 * to the request waiting for it: a callback that blocks stalls the answers of every other caller
 * (their requests may time out), and {@link #close()} waits for a callback that is running.
 * Return quickly from a callback and hand slow work to an executor. A callback cannot open a
 * session.
 *
 * <p>Value lengths: a value travels in one record of one message, so in device mode a parameter
 * value holds at most 23 859 bytes (16 segments of 1 492 bytes, less the message and record
 * headers); without a session the library takes values of up to 65 534 bytes.
 *
 * <p>A request to one device (destination kind 0) returns the first answer of that device; a
 * device that does not answer within the timeout is asked again, {@code attempts} times in all,
 * and then the wrapper throws {@link LCMPCommManager.LCMPTimeOutException}. A request to the
 * multicast or broadcast address (kinds 1 and 2) collects the answers of every device for the
 * timeout after the send; the response holds the TLVs of all of them, in the order they came,
 * and {@link LCMPAbstractCallBack callbacks} registered for the confirmation opcode are called
 * once per answering device, with that device's address.
 *
 * <p>Each answer reaches every matching callback once: callbacks registered for the
 * confirmation's opcode ({@code LCMP_READ_CNF} after a read, {@code LCMP_WRITE_CNF} after a
 * write) get it from the receive thread, so the call on the caller's thread that follows a read or
 * write skips them; the other callbacks of the record type are called there as without a session.
 */
public final class LCMPSession implements AutoCloseable {
    static {
        LCMPNativeLibrary.load();
    }

    /** Per attempt, as {@link #open(String)} uses it. */
    public static final int DEFAULT_TIMEOUT_MS = 500;

    /** Sends of one request in all, as {@link #open(String)} uses it. */
    public static final int DEFAULT_ATTEMPTS = 3;

    private final String adapter;
    private final AtomicBoolean open = new AtomicBoolean(true);

    private LCMPSession(String adapter) {
        this.adapter = adapter;
    }

    /** Opens a session on {@code adapter} with a timeout of 500 ms per attempt and 3 attempts. */
    public static LCMPSession open(String adapter) throws LCMPCommManager.LCMPException {
        return open(adapter, DEFAULT_TIMEOUT_MS, DEFAULT_ATTEMPTS);
    }

    /**
     * Opens a session on {@code adapter} (a name from {@link #adapters()}, e.g. "eth0") and switches
     * the library to device mode.
     *
     * @param timeoutMs how long each attempt waits for answers, at least 1
     * @param attempts how many times a request is sent before a timeout is raised, at least 1
     * @throws LCMPCommManager.LCMPException naming {@code LCMP_ERROR_BAD_ARGS} for a null or too
     *     long name, a timeout or number of attempts below 1, a session that is open already, or a
     *     call from a callback (the receive thread);
     *     {@code LCMP_ERROR_SOCKET_NOT_OPENED} when the adapter cannot be opened (it is not there,
     *     is down, or the process lacks the privileges); {@code LCMP_ERROR_PTHREAD_CREATE} when the
     *     receive thread cannot start
     */
    public static LCMPSession open(String adapter, int timeoutMs, int attempts) throws LCMPCommManager.LCMPException {
        nativeOpen(adapter, timeoutMs, attempts, javaBinary());
        return new LCMPSession(adapter);
    }

    /**
     * Names of the adapters a session can be opened on: the capture devices of this network
     * namespace that have an Ethernet link and are up (adapters that are down, loopback and capture
     * pseudo-devices such as "any" left out). Listing them needs no privileges; an empty array when
     * there are none. On Windows each adapter comes twice: Npcap's name {@code \Device\NPF_{GUID}},
     * then the name Windows shows (such as "Ethernet 2"); either opens it.
     */
    public static native String[] adapters();

    /**
     * Sets the object that receives the notifications of the subscription made with
     * {@link LCMPCommManager#LCMP_Notify_Wrapper}, or removes it ({@code null}). Its
     * {@link LCMPAbstractCallBack#LCMPCallBack} is called on the receive thread once per notification
     * message with a response carrying the sending device's address and one
     * {@link LCMPCommManager.HGF_NOTIFY_TLV} per notify record (the notify type, e.g. the ID of a
     * written parameter, and the value); its two filter getters are not used. The object stays set
     * across sessions; the library holds it strongly until it is replaced. The subscription itself
     * ends with its session: after a reopen, call {@link LCMPCommManager#LCMP_Notify_Wrapper} again
     * to be notified.
     */
    public static native void setNotificationCallBack(LCMPAbstractCallBack callBack);

    /**
     * Ends the session: stops the receive thread (after a callback that is running has returned),
     * drops every registered callback in the library (the host forgets them too; register callback
     * objects again for a later session), ends the notification subscription and closes the
     * adapter. The process stays in device mode: requests other threads are waiting on end at once,
     * and later requests fail, with an LCMPException naming {@code LCMP_ERROR_SOCKET_NOT_OPENED},
     * until a session opens again or {@link #useLocalAnswers()} is called. Calling it again does
     * nothing.
     */
    @Override
    public void close() {
        if (open.compareAndSet(true, false)) {
            nativeClose();
        }
    }

    /**
     * Returns the process to the answers the library makes up itself, as before the first session:
     * requests send nothing and succeed with made-up values. A session that is open stays open (its
     * callbacks go on receiving), but requests no longer reach the devices; the next {@link #open}
     * switches back to device mode.
     */
    public static native void useLocalAnswers();

    /** The adapter this session was opened on. */
    public String getAdapter() {
        return adapter;
    }

    /** Whether {@link #close()} has not been called yet. */
    public boolean isOpen() {
        return open.get();
    }

    @Override
    public String toString() {
        return "LCMPSession[" + adapter + (isOpen() ? "" : ", closed") + "]";
    }

    /** The Java binary of this virtual machine, which the capabilities must be granted to. */
    private static String javaBinary() {
        File java = new File(new File(System.getProperty("java.home", ""), "bin"), "java");
        try {
            return java.getCanonicalPath();
        } catch (java.io.IOException | SecurityException e) {
            return java.getPath();
        }
    }

    private static native void nativeOpen(String adapter, int timeoutMs, int attempts, String javaBinary)
            throws LCMPCommManager.LCMPException;

    private static native void nativeClose();
}
