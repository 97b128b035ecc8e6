// The operator's texts as the console receives them.
#include <cstring>

#include "app/catalogue.h"
#include "app/console.h"
#include "tests/support/sim_fixture.h"

namespace {

class CatalogueTest : public SimTest {};

TEST_F(CatalogueTest, AccentedLettersTakeTheOemBytesOfBothCodePages) {
  for (int codePage : {850, 437}) {
    sim::resetMachine();
    machine().codePage = codePage;
    ASSERT_EQ(0, buildMessageCatalogue());
    EXPECT_STREQ(
        "\nUtilit\x85 di configurazione modulo Vantor&Lumis\n"
        "---------------------------------------------\n\n",
        message(kMsgBanner));
    EXPECT_STREQ("\nNon \x8A possibile impostare la connessione.\n", message(kMsgNoConnection));
    EXPECT_STREQ("Rimuovi unit\x85 %s\n", message(kMsgRemoveDrive));
    // One byte per character, and each text its own terminated block.
    for (int i = 0; i < kMessageCount; ++i)
      EXPECT_EQ(std::wcslen(messageCatalogue.wideTexts[i]),
                std::strlen(message(static_cast<MessageId>(i))))
          << "message " << i;
    releaseMessageCatalogue();
  }
}

TEST_F(CatalogueTest, TextsThatCannotBeConvertedStillComeOutWhole) {
  // Every conversion refused: each character becomes '?', never a hole,
  // in a block of just the text's size.
  machine().fail(sim::Call::wcstombs);
  std::vector<std::size_t> sizes;
  machine().allocationFails = [&sizes](std::size_t size) {
    sizes.push_back(size);
    return false;
  };
  ASSERT_EQ(0, buildMessageCatalogue());
  ASSERT_EQ(static_cast<std::size_t>(kMessageCount), sizes.size());
  for (int i = 0; i < kMessageCount; ++i) {
    ASSERT_NE(nullptr, message(static_cast<MessageId>(i)));
    EXPECT_EQ(std::string(std::wcslen(messageCatalogue.wideTexts[i]), '?'),
              message(static_cast<MessageId>(i)));
    EXPECT_EQ(std::wcslen(messageCatalogue.wideTexts[i]) + 1, sizes[i]) << i;
  }
  releaseMessageCatalogue();

  // Only the whole-text conversion refused: the one by one path gives the
  // same bytes as the normal one.
  machine().fail(sim::Call::wcstombs, 0);
  machine().failNth(sim::Call::wcstombs, 1);
  ASSERT_EQ(0, buildMessageCatalogue());
  EXPECT_STREQ(
      "\nUtilit\x85 di configurazione modulo Vantor&Lumis\n"
      "---------------------------------------------\n\n",
      message(kMsgBanner));
  releaseMessageCatalogue();
}

TEST_F(CatalogueTest, MemoryRunningOutEndsTheRunCleanly) {
  machine().failNth(sim::Call::malloc, 20);
  machine().pressEnter();
  EXPECT_EQ(-1, runProgram());
  EXPECT_EQ("Procedura non completata: riprovare dall'inizio\n",
            machine().console);
  EXPECT_EQ(1, machine().keyReads);
  for (int i = 0; i < kMessageCount; ++i)
    EXPECT_EQ(nullptr, messageCatalogue.texts[i]);
}

TEST_F(CatalogueTest, TheCatalogueIsReleasedAtTheEndOfEveryRun) {
  machine().pressEnter();
  runProgram();
  for (int i = 0; i < kMessageCount; ++i)
    EXPECT_EQ(nullptr, messageCatalogue.texts[i]);
}

}  // namespace
