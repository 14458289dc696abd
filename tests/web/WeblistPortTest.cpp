// The product's own port: the list service runs on 127.0.0.1:45648 and the
// download finds it through the default service with the host taken from
// the environment.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "ScriptProcess.h"
#include "web/WeblistRetrieve.h"

using namespace orlavonix;
using namespace std::chrono;

TEST(WeblistPort, DefaultServiceOnTheProductPort) {
  orlavonix::test::TScriptProcess Service("list_service.py", {"--port", "45648"});
  try {
    ASSERT_EQ(Service.WaitReady(), 45648);
  } catch (const std::exception& E) {
    FAIL() << "cannot run the list service on 127.0.0.1:45648 (is the port taken?): " << E.what();
  }
  ::setenv(WeblistHostVariable, "127.0.0.1", 1);
  TWeblistService S = DefaultWeblistService();
  EXPECT_EQ(S.Host, "127.0.0.1");
  EXPECT_EQ(S.Port, 45648);

  TWeblistThread T(TWeblistFilter{});
  auto Deadline = steady_clock::now() + seconds(20);
  while (!T.Done()) {
    ASSERT_LT(steady_clock::now(), Deadline);
    std::this_thread::sleep_for(milliseconds(2)); // bounded polling
  }
  EXPECT_TRUE(T.Success());
  EXPECT_NE(T.TakeList(), nullptr);
  auto Line = Service.ReadLine(5000);
  ASSERT_TRUE(Line);
  EXPECT_EQ(*Line, "REQUEST 0b0100000000000000000000");
}
