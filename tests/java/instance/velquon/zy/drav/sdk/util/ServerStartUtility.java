package velquon.zy.drav.sdk.util;

/**
 * The same class as callers may have declared it: instance native methods. The library's
 * entry points take their second parameter as a plain object reference, so this must bind too.
 */
public final class ServerStartUtility {
    static {
        System.loadLibrary("StartUtil");
    }

    public native void invokeNonBlockingCommand(String programPath);

    public native void invokeNonBlockingCommandWithArgs(String commandLine);
}
