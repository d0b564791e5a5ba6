package startutil.test;

import velquon.zy.drav.sdk.util.ServerStartUtility;

/** The product class: static native methods. */
public class StaticBindingTest extends DetachedChildContract {
    @Override
    protected Launcher launcher() {
        return new Launcher() {
            @Override
            public void invokeNonBlockingCommand(String programPath) {
                ServerStartUtility.invokeNonBlockingCommand(programPath);
            }

            @Override
            public void invokeNonBlockingCommandWithArgs(String commandLine) {
                ServerStartUtility.invokeNonBlockingCommandWithArgs(commandLine);
            }
        };
    }
}
