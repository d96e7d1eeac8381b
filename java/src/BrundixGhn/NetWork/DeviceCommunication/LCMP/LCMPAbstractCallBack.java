package BrundixGhn.NetWork.DeviceCommunication.LCMP;

/**
 * A callback object for {@link LCMPCommManager#LCMP_RegisterCallBack}: the
 * library calls {@link #LCMPCallBack} with every response of the opcode and
 * TLV kind that the two filters name. A callback whose TLV filter is
 * {@code HGF_NOTIFY_CONFIRM} is one-shot: it is unregistered after its first
 * delivery. Deliveries for received messages run on the library's receive
 * thread.
 */
public abstract class LCMPAbstractCallBack {
    /** The kind of TLV wanted: HGF_PARAMETER, HGF_WRITE_PARAMETER_CONFIRM or HGF_NOTIFY_CONFIRM. */
    public abstract LCMPCommManager.HGF_TLV_Type getFilterHGF_TLV_Type();

    /** The opcode wanted. */
    public abstract LCMPCommManager.LCMP_OPCODE_Type getFilterLCMP_OPCODE_Type();

    public abstract void LCMPCallBack(LCMPCommManager.LCMPResponse response);
}
