package velquon.zy.drav.sdk.util;

/**
 * The class as callers who load the library themselves declare it: the two static natives and
 * nothing else. The library finds no hooks here and must echo and report as it always has.
 */
public final class ServerStartUtility {
    static {
        System.loadLibrary("StartUtil");
    }

    private ServerStartUtility() {}

    public static native void invokeNonBlockingCommand(String programPath);

    public static native void invokeNonBlockingCommandWithArgs(String commandLine);
}
