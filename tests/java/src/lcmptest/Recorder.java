package lcmptest;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPAbstractCallBack;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMPResponse;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import java.util.ArrayList;
import java.util.List;
import java.util.function.Consumer;

/** A callback object that records every response it is given and the thread it ran on. */
class Recorder extends LCMPAbstractCallBack {
    private final HGF_TLV_Type tlvFilter;
    private final LCMP_OPCODE_Type opcodeFilter;
    private final List<LCMPResponse> responses = new ArrayList<>();
    private final List<Thread> threads = new ArrayList<>();
    private volatile Consumer<LCMPResponse> action = r -> { };

    Recorder(HGF_TLV_Type tlvFilter, LCMP_OPCODE_Type opcodeFilter) {
        this.tlvFilter = tlvFilter;
        this.opcodeFilter = opcodeFilter;
    }

    /** What each delivery does after it was recorded (it may throw). */
    Recorder then(Consumer<LCMPResponse> next) {
        action = next;
        return this;
    }

    @Override
    public HGF_TLV_Type getFilterHGF_TLV_Type() {
        return tlvFilter;
    }

    @Override
    public LCMP_OPCODE_Type getFilterLCMP_OPCODE_Type() {
        return opcodeFilter;
    }

    @Override
    public void LCMPCallBack(LCMPResponse response) {
        synchronized (this) {
            responses.add(response);
            threads.add(Thread.currentThread());
        }
        action.accept(response);
    }

    synchronized int calls() {
        return responses.size();
    }

    synchronized List<LCMPResponse> responses() {
        return new ArrayList<>(responses);
    }

    synchronized LCMPResponse last() {
        return responses.get(responses.size() - 1);
    }

    synchronized List<Thread> threads() {
        return new ArrayList<>(threads);
    }
}
