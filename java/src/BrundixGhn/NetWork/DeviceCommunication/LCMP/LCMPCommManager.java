package BrundixGhn.NetWork.DeviceCommunication.LCMP;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/**
 * Reference host of liblcmp: the management class whose native methods the
 * library implements, with the nested types the library builds and reads.
 *
 * <p>Call {@link #initIDs()} once before any other native method except the
 * two version methods; it resolves every class, method and constant the
 * library uses and returns 0, or -1 when one is missing (a missing class or
 * member is also thrown as the virtual machine's linkage error).
 *
 * <p>The native methods are static: the library never uses the class or
 * object argument, so they need no instance. The TLV classes and enums, the
 * responses and the exceptions are nested here; import them from this class,
 * e.g. {@code import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.*;}.
 *
 * <p>Without an {@link LCMPSession} the library answers requests itself with
 * made-up values. Once a session has been opened the process stays in device
 * mode: after {@link LCMPSession#close()} every wrapper throws
 * {@link LCMPException} naming {@code LCMP_ERROR_SOCKET_NOT_OPENED} until a
 * session opens again or {@link LCMPSession#useLocalAnswers()} is called.
 *
 * <p>Values: without a session a parameter value may hold up to 65 534 bytes;
 * in device mode a value travels in one record of one message, so it holds at
 * most 23 859 bytes (a longer one throws naming {@code LCMP_ERROR_BAD_ARGS}).
 *
 * <p>Callbacks are held weakly: keep a reference to every registered object.
 * Received messages reach them on the library's one receive thread, which
 * also hands the devices' answers to waiting requests: a callback that blocks
 * stalls every other caller's answers, and {@link LCMPSession#close()} waits
 * for a running callback. Return quickly and hand slow work to an executor.
 */
public class LCMPCommManager {
    static {
        LCMPNativeLibrary.load();
    }

    private LCMPCommManager() {}

    // ---- Native methods ----

    /** Resolves and caches the bindings of the library: 0, -1, or the status of obtaining the JVM. */
    public static native int initIDs();

    public static native String getVersion_LCMP_Driver_API_Wrapper();

    public static native String getVersion_LCMP_Driver_Java_Wrapper();

    /**
     * Reads the parameters named by a list of {@link HGF_READ_PARAMETER_TLV} from a device.
     *
     * <p>Without an {@link LCMPSession} the library makes up the confirmation itself and sends
     * nothing; with one the request goes to the device(s) and a device that never answers raises
     * {@link LCMPTimeOutException}. After a successful read (and write), the callbacks registered
     * with the response's TLV kind are called with the response on this thread, whatever their
     * opcode filter; with a session, those registered for the confirmation's opcode are skipped,
     * because the receive thread has already delivered the device's answer to them.
     *
     * @param destinationKind 0 the device at {@code deviceAddress}, 1 the LCMP multicast address, 2 broadcast
     * @param reserved not used
     * @param deviceAddress the device's 6-byte MAC address; the response carries this array
     */
    public static native LCMPResponse LCMP_Read_Wrapper(byte destinationKind, byte reserved,
            ArrayList<HGF_READ_PARAMETER_TLV> parameters, byte[] deviceAddress) throws LCMPException;

    /** Writes a list of {@link HGF_PARAMETER_TLV}; arguments as for the read. */
    public static native LCMPResponse LCMP_Write_Wrapper(byte destinationKind, byte reserved,
            ArrayList<HGF_PARAMETER_TLV> parameters, byte[] deviceAddress) throws LCMPException;

    /** Sends control parameters, a list of {@link HGF_PARAMETER_TLV}; arguments as for the read. */
    public static native LCMPResponse LCMP_Control_Wrapper(byte destinationKind, byte reserved,
            ArrayList<HGF_PARAMETER_TLV> parameters, byte[] deviceAddress) throws LCMPException;

    /**
     * Subscribes to notifications: registers {@code callBack} (through
     * {@link #LCMP_RegisterCallBack}) as a one-shot callback and sends the list of {@link HGF_NOTIFY_TLV}.
     * Each element asks for one kind of notification: its type is the notify type (for the simulator
     * lcmp-device, the ID of a parameter whose writes are notified), its value travels after the type
     * for the device to interpret (often empty). The notifications reach the object set with
     * {@link LCMPSession#setNotificationCallBack}.
     *
     * <p>{@code callBack} (filters {@code HGF_NOTIFY_CONFIRM} and {@code LCMP_NOTIFY_RSP}) is called once,
     * with the notify response: an {@link LCMPResponse} carrying the device's address and no TLVs (the
     * library converts only parameter and confirmation records; the notify types the device accepted
     * can be seen with lcmp-monitor or a C callback for opcode 359). With a session, it takes the
     * response of a device the subscription addressed only (that device for kind 0, any for a group),
     * and a call that fails unregisters it before it throws. The subscription ends with its session:
     * after a reopen, call this method again.
     *
     * @param destinationKind 0 the device at {@code deviceAddress}, 1 the LCMP multicast address, 2 broadcast
     * @param reserved not used
     * @param flags not used: the subscription goes with flag byte 0
     */
    public static native void LCMP_Notify_Wrapper(byte destinationKind, byte reserved,
            ArrayList<HGF_NOTIFY_TLV> notifications, byte[] deviceAddress, byte flags,
            LCMPAbstractCallBack callBack) throws LCMPException;

    /**
     * Installs a callback object in the library. Use {@link #LCMP_RegisterCallBack}, which keeps the
     * positions that unregistration needs.
     */
    public static native boolean LCMP_RegisterCallBack_Wrapper(LCMPAbstractCallBack callBack)
            throws LCMPException;

    /**
     * Removes the library's Java callback at {@code position} (registration order). Use
     * {@link #LCMP_UnRegisterCallBack}.
     */
    public static native boolean LCMP_UnRegisterCallBack_Wrapper(int position);

    // ---- Callback registration ----

    /**
     * The registered callbacks in registration order. The library numbers its
     * Java callbacks the same way, so an object's index here is the position
     * that unregisters it. Guarded by the class lock.
     */
    private static final List<LCMPAbstractCallBack> registeredCallBacks = new ArrayList<>();

    /**
     * Forgets the callbacks the library dropped when a session ended: they are
     * the oldest ones listed, and the library numbers the live ones from 0
     * again in the same step. Caller holds the class lock.
     */
    private static void forgetDroppedCallBacks() {
        int dropped = Math.min(takeDroppedPositions(), registeredCallBacks.size());
        if (dropped > 0) {
            registeredCallBacks.subList(0, dropped).clear();
        }
    }

    /** How many of the oldest positions the library dropped since the last call; it forgets them. */
    private static native int takeDroppedPositions();

    /**
     * Registers a callback object with the library; true when it now has its
     * entry. The same object may be registered more than once.
     */
    public static synchronized boolean LCMP_RegisterCallBack(LCMPAbstractCallBack callBack) throws LCMPException {
        forgetDroppedCallBacks();
        if (!LCMP_RegisterCallBack_Wrapper(callBack)) {
            return false;
        }
        registeredCallBacks.add(callBack);
        return true;
    }

    /**
     * Removes the oldest registration of a callback object; true when it was
     * removed. The library's receive thread calls this for one-shot callbacks.
     */
    public static synchronized boolean LCMP_UnRegisterCallBack(LCMPAbstractCallBack callBack) {
        forgetDroppedCallBacks();
        int position = -1;
        for (int i = 0; i < registeredCallBacks.size(); i++) {
            if (registeredCallBacks.get(i) == callBack) {
                position = i;
                break;
            }
        }
        if (position < 0 || !LCMP_UnRegisterCallBack_Wrapper(position)) {
            return false;
        }
        registeredCallBacks.remove(position);
        return true;
    }

    /**
     * The registered callback objects, oldest first (a copy). Those the library dropped when a
     * session ended are no longer listed.
     */
    public static synchronized List<LCMPAbstractCallBack> getRegisteredCallBacks() {
        forgetDroppedCallBacks();
        return new ArrayList<>(registeredCallBacks);
    }

    // ---- Exceptions ----

    /**
     * A failure reported by the library. The message is a text followed by the error identifier,
     * e.g. {@code "... (ErrorId: LCMP_ERROR_BAD_ARGS)"}; for {@code LCMP_ERROR_SOCKET_NOT_OPENED}
     * the version follows: {@code "... (ErrorId: LCMP_ERROR_SOCKET_NOT_OPENED) [LCMP Wrapper Version=1.0a]"}.
     * Failures the bridge itself detects carry no identifier.
     */
    public static class LCMPException extends Exception {
        private static final long serialVersionUID = 1L;

        public LCMPException(String message) {
            super(message);
        }
    }

    /** A request that produced no values. */
    public static class LCMPTimeOutException extends LCMPException {
        private static final long serialVersionUID = 1L;

        public LCMPTimeOutException(String message) {
            super(message);
        }
    }

    /** A callback that is not installed. */
    public static class LCMPCallBackNotInstalled extends LCMPException {
        private static final long serialVersionUID = 1L;

        public LCMPCallBackNotInstalled(String message) {
            super(message);
        }
    }

    // ---- Enumerations ----

    /** Kinds of TLV (LCMP record types). */
    public enum HGF_TLV_Type {
        HGF_PARAMETER, HGF_WRITE_PARAMETER_CONFIRM, HGF_READ_PARAMETER, HGF_CONTROL_CONFIRM, HGF_NOTIFY,
        HGF_NOTIFY_CONFIRM
    }

    /** LCMP opcodes a callback can ask for. */
    public enum LCMP_OPCODE_Type {
        LCMP_READ_REQ, LCMP_READ_CNF, LCMP_WRITE_REQ, LCMP_WRITE_CNF, LCMP_CONTROL_REQ, LCMP_CONTROL_CNF,
        LCMP_NOTIFY_IND, LCMP_NOTIFY_RSP
    }

    /** Outcome recorded on a response. */
    public enum HGF_ERRORCODE_Type {
        HGF_NO_ERROR, HGF_ERROR
    }

    // ---- Responses and TLVs ----

    /** The answer of a device: its address and the TLVs it returned. */
    public static class LCMPResponse {
        private final byte[] deviceAddress;
        private final List<HGF_TLV> tlvs = new ArrayList<>();
        private HGF_ERRORCODE_Type errorCode = HGF_ERRORCODE_Type.HGF_NO_ERROR;

        public LCMPResponse(byte[] deviceAddress) {
            this.deviceAddress = deviceAddress;
        }

        public void addHGF_TLV(HGF_TLV tlv) {
            tlvs.add(tlv);
        }

        public void setErrorCode(HGF_ERRORCODE_Type errorCode) {
            this.errorCode = errorCode;
        }

        public HGF_ERRORCODE_Type getErrorCode() {
            return errorCode;
        }

        /** The 6-byte address this response was built with (the array itself, not a copy). */
        public byte[] getDeviceAddress() {
            return deviceAddress;
        }

        /** The TLVs in the order they were added. */
        public List<HGF_TLV> getHGF_TLVs() {
            return Collections.unmodifiableList(tlvs);
        }
    }

    /** Any TLV of a request or a response. */
    public abstract static class HGF_TLV {
        public abstract HGF_TLV_Type getHGF_TLV_Type();
    }

    /** A parameter to read, named by its ID. */
    public static class HGF_READ_PARAMETER_TLV extends HGF_TLV {
        private final byte parameterID;

        public HGF_READ_PARAMETER_TLV(byte parameterID) {
            this.parameterID = parameterID;
        }

        public byte getParameterID() {
            return parameterID;
        }

        @Override
        public HGF_TLV_Type getHGF_TLV_Type() {
            return HGF_TLV_Type.HGF_READ_PARAMETER;
        }
    }

    /** A parameter with its value: read results, and what is written or controlled. */
    public static class HGF_PARAMETER_TLV extends HGF_TLV {
        private final byte parameterType;
        private final byte[] parameterValue;

        public HGF_PARAMETER_TLV(byte parameterType, byte[] parameterValue) {
            this.parameterType = parameterType;
            this.parameterValue = parameterValue;
        }

        /** The parameter ID. (The library binds to this spelling.) */
        public byte getParamterType() {
            return parameterType;
        }

        public byte[] getParameterValue() {
            return parameterValue;
        }

        @Override
        public HGF_TLV_Type getHGF_TLV_Type() {
            return HGF_TLV_Type.HGF_PARAMETER;
        }
    }

    /** The confirmation of a write or a control: one byte array per confirm record. */
    public static class HGF_CONFIRM extends HGF_TLV {
        private final HGF_TLV_Type confirmType;
        private final List<byte[]> parameters = new ArrayList<>();

        public HGF_CONFIRM(HGF_TLV_Type confirmType) {
            this.confirmType = confirmType;
        }

        public void addParameter(byte[] parameter) {
            parameters.add(parameter);
        }

        public List<byte[]> getParameters() {
            return Collections.unmodifiableList(parameters);
        }

        @Override
        public HGF_TLV_Type getHGF_TLV_Type() {
            return confirmType;
        }
    }

    /**
     * One notify record. In a subscription ({@link LCMPCommManager#LCMP_Notify_Wrapper}) it asks for one
     * kind of notification: the notify type (for lcmp-device, the ID of a parameter whose writes are
     * notified) and a value that travels after it, for the device to interpret (often empty). In a
     * notification it carries what happened: the notify type and its value (for a written parameter,
     * the new value).
     */
    public static class HGF_NOTIFY_TLV extends HGF_TLV {
        private final byte notifyType;
        private final byte[] notifyValue;

        public HGF_NOTIFY_TLV(byte notifyType, byte[] notifyValue) {
            this.notifyType = notifyType;
            this.notifyValue = notifyValue;
        }

        public byte getNotifyType() {
            return notifyType;
        }

        public byte[] getNotifyValue() {
            return notifyValue;
        }

        @Override
        public HGF_TLV_Type getHGF_TLV_Type() {
            return HGF_TLV_Type.HGF_NOTIFY;
        }
    }
}
