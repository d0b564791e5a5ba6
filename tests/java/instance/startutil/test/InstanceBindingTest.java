package startutil.test;

import velquon.zy.drav.sdk.util.ServerStartUtility;

/** The class declared with instance native methods instead of static ones. */
public class InstanceBindingTest extends DetachedChildContract {
    private final ServerStartUtility utility = new ServerStartUtility();

    @Override
    protected Launcher launcher() {
        return new Launcher() {
            @Override
            public void invokeNonBlockingCommand(String programPath) {
                utility.invokeNonBlockingCommand(programPath);
            }

            @Override
            public void invokeNonBlockingCommandWithArgs(String commandLine) {
                utility.invokeNonBlockingCommandWithArgs(commandLine);
            }
        };
    }
}
