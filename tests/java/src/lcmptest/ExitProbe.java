package lcmptest;

import static lcmptest.Lcmp.SENDER;
import static lcmptest.Lcmp.bytes;
import static lcmptest.Lcmp.confirmation;
import static lcmptest.Lcmp.record;

import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.HGF_TLV_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPCommManager.LCMP_OPCODE_Type;
import BrundixGhn.NetWork.DeviceCommunication.LCMP.LCMPSession;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.TimeUnit;

/**
 * Returns from main while a session is open and a callback blocks on the receive thread: the JVM
 * must exit all the same. "session" opens it from Java (LCMPSession), "c" as a C host (LCMPInit).
 */
public final class ExitProbe {
    private ExitProbe() {}

    public static void main(String[] args) throws Exception {
        Lcmp.bind();
        if ("session".equals(args[0])) {
            LCMPSession.open(Wire.SESSION);
        } else if (TestHooks.sessionOpen(Wire.SESSION) != 0) {
            throw new IllegalStateException("LCMPInit failed");
        }
        CountDownLatch entered = new CountDownLatch(1);
        CountDownLatch never = new CountDownLatch(1);
        Recorder blocking = new Recorder(HGF_TLV_Type.HGF_PARAMETER, LCMP_OPCODE_Type.LCMP_READ_CNF).then(r -> {
            entered.countDown();
            try {
                never.await();
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        });
        LCMPCommManager.LCMP_RegisterCallBack(blocking);
        byte[] frame = Wire.frame(TestHooks.adapterAddress(Wire.SESSION), SENDER, 0x161, 1,
                confirmation(record(0, bytes(5, 0xF0))));
        for (int tries = 0; !entered.await(20, TimeUnit.MILLISECONDS); tries++) {
            if (tries == 250) {
                throw new IllegalStateException("no delivery");
            }
            TestHooks.injectFrame(Wire.PEER, frame);
        }
        System.out.println("main returns while a callback blocks");
    }
}
