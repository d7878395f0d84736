// The room registry, room elements and the occupancy rules that need no
// network (senders without a connection drop their messages).
#include <gtest/gtest.h>

#include "core/result.h"
#include "rooms/occupancy.h"
#include "rooms/room_element.h"
#include "rooms/room_registry.h"
#include "rooms/room_state.h"
#include "wire/bytes.h"

namespace zanth::rooms {
namespace {

RoomFields Fields(std::uint16_t id, const std::string& name, std::uint32_t flags = 0) {
  RoomFields fields;
  fields.id = id;
  fields.name = name;
  fields.flags = flags;
  fields.description = name + ".rmd";
  fields.file_name = name + ".rmd";
  return fields;
}

std::vector<std::uint16_t> Ids(const RoomRegistry& registry) {
  std::vector<std::uint16_t> ids;
  for (const RoomRecord& room : registry.rooms()) ids.push_back(room.id);
  return ids;
}

class RoomRegistryTest : public ::testing::Test {
 protected:
  void AddRooms(std::initializer_list<std::uint16_t> ids) {
    for (std::uint16_t id : ids) ASSERT_EQ(0, rooms_.Append(Fields(id, "r" + std::to_string(id))));
  }
  RoomRegistry rooms_;
};

TEST_F(RoomRegistryTest, EmptyRegistryListsNothingAndOffers100) {
  EXPECT_EQ((std::vector<std::uint8_t>{0, 0}), RoomListPayload(rooms_, true));
  EXPECT_EQ(100, rooms_.LowestFreeId());
}

TEST_F(RoomRegistryTest, LowestFreeIdFillsTheFirstGap) {
  AddRooms({100, 101, 103});
  EXPECT_EQ(102, rooms_.LowestFreeId());
}

TEST_F(RoomRegistryTest, DuplicateIdIsRefusedAndChangesNothing) {
  AddRooms({100, 101});
  EXPECT_EQ(-1, rooms_.Append(Fields(101, "again")));
  EXPECT_EQ(-1, rooms_.InsertAfter(nullptr, Fields(100, "again")));
  EXPECT_EQ((std::vector<std::uint16_t>{100, 101}), Ids(rooms_));
}

TEST_F(RoomRegistryTest, InsertAfterTheThirdRoomPlacesItFourth) {
  AddRooms({100, 101, 102, 103});
  RoomRecord* third = rooms_.Find(102);
  ASSERT_EQ(0, rooms_.InsertAfter(third, Fields(200, "new")));
  EXPECT_EQ((std::vector<std::uint16_t>{100, 101, 102, 200, 103}), Ids(rooms_));
  ASSERT_EQ(0, rooms_.InsertAfter(nullptr, Fields(201, "head")));
  EXPECT_EQ(201, rooms_.rooms().front()->id);
}

TEST_F(RoomRegistryTest, MoveByPlaces) {
  AddRooms({1, 2, 3, 4, 5});
  rooms_.Move(*rooms_.Find(2), -5);  // up past the head stops at the head
  EXPECT_EQ((std::vector<std::uint16_t>{2, 1, 3, 4, 5}), Ids(rooms_));
  rooms_.Move(*rooms_.Find(5), 1);  // the last room cannot go down
  EXPECT_EQ((std::vector<std::uint16_t>{2, 1, 3, 4, 5}), Ids(rooms_));
  rooms_.Move(*rooms_.Find(2), -1);  // the first room cannot go up
  EXPECT_EQ((std::vector<std::uint16_t>{2, 1, 3, 4, 5}), Ids(rooms_));
  rooms_.Move(*rooms_.Find(1), 2);
  EXPECT_EQ((std::vector<std::uint16_t>{2, 3, 4, 1, 5}), Ids(rooms_));
  rooms_.Move(*rooms_.Find(4), -2);
  EXPECT_EQ((std::vector<std::uint16_t>{4, 2, 3, 1, 5}), Ids(rooms_));
  rooms_.Move(*rooms_.Find(4), 10);
  EXPECT_EQ((std::vector<std::uint16_t>{2, 3, 1, 5, 4}), Ids(rooms_));
  EXPECT_TRUE(rooms_.rooms().Verify());
}

TEST_F(RoomRegistryTest, RoomListHidesHiddenRoomsAndShowsClosed) {
  ASSERT_EQ(0, rooms_.Append(Fields(100, "gate", kGate)));
  ASSERT_EQ(0, rooms_.Append(Fields(101, "secret", kHidden)));
  ASSERT_EQ(0, rooms_.Append(Fields(102, "den", kPrivate)));
  rooms_.Find(100)->locked = true;
  std::vector<std::uint8_t> visible = RoomListPayload(rooms_, false);
  ASSERT_EQ(2u + 2 * 70, visible.size());
  EXPECT_EQ(2, wire::LoadU16(visible.data()));
  EXPECT_EQ(100, wire::LoadU16(visible.data() + 2));
  EXPECT_EQ(1, visible[2 + 4]);       // locked: closed
  EXPECT_EQ(102, wire::LoadU16(visible.data() + 72));
  EXPECT_EQ(1, visible[72 + 4]);      // private: closed
  EXPECT_EQ("den", std::string(reinterpret_cast<const char*>(visible.data() + 72 + 5)));
  EXPECT_EQ(2u + 3 * 70, RoomListPayload(rooms_, true).size());
}

TEST_F(RoomRegistryTest, LongNamesAreCutBetweenCharacters) {
  // Half a character would be written to the file as another character.
  RoomFields fields;
  fields.id = 5;
  fields.name = std::string(63, 'n') + "\xC3\xA9";
  fields.file_name = std::string(510, 'f') + "\xE2\x82\xAC";
  ASSERT_EQ(0, rooms_.Append(fields));
  EXPECT_EQ(std::string(63, 'n'), rooms_.Find(5)->name);
  EXPECT_EQ(std::string(510, 'f'), rooms_.Find(5)->file_name);
}

TEST_F(RoomRegistryTest, RoomRecordAndEditInfoLayouts) {
  wire::PayloadWriter w;
  w.U16(321).U16(0xFFFF).U32(kNoSpoof | kIs3D).Fixed("Lobby", 65).Fixed("lobby.rmd", 512)
      .U8(0).I16(640).I16(480).I16(25);
  ASSERT_EQ(592u, w.size());
  RoomFields fields = ParseRoomRecord(w.data(), w.size());
  EXPECT_EQ(321, fields.id);
  EXPECT_EQ(kNoSpoof | kIs3D, fields.flags);
  EXPECT_EQ("Lobby", fields.name);
  EXPECT_EQ("lobby.rmd", fields.file_name);
  EXPECT_EQ("lobby.rmd", fields.description);
  EXPECT_EQ(640, fields.width);
  EXPECT_EQ(25, fields.max_occupancy);
  // A short record reads as if zero-filled past its end.
  RoomFields cut = ParseRoomRecord(w.data(), 10);
  EXPECT_EQ(321, cut.id);
  EXPECT_EQ("Lo", cut.name);  // the two name bytes that came
  EXPECT_EQ(0, cut.width);

  ASSERT_EQ(0, rooms_.Append(fields));
  RoomRecord& room = *rooms_.Find(321);
  std::vector<std::uint8_t> edit = RoomEditPayload(room);
  ASSERT_EQ(1616u, edit.size());
  EXPECT_EQ("lobby.rmd", std::string(reinterpret_cast<const char*>(edit.data() + 585)));
  EXPECT_EQ(25, wire::LoadU16(edit.data() + 1614));
  std::vector<std::uint8_t> info = RoomInfoPayload(room, true);
  ASSERT_EQ(74u, info.size());
  EXPECT_EQ(2, wire::LoadU16(info.data() + 72));  // is3D only
  EXPECT_EQ(0, wire::LoadU16(RoomInfoPayload(room, false).data() + 72));
}

TEST(RoomElementTest, DefaultRoomWritesOnlyIdNameDescAndSrc) {
  RoomRecord room(Fields(100, "gate"));
  config::Element e = WriteRoomElement(room);
  ASSERT_EQ(4u, e.attributes.size());
  EXPECT_EQ("id", e.attributes[0].first);
  EXPECT_EQ("100", e.attributes[0].second);
  EXPECT_EQ("name", e.attributes[1].first);
  EXPECT_EQ("desc", e.attributes[2].first);
  EXPECT_EQ("src", e.attributes[3].first);
}

TEST(RoomElementTest, FlagsAndSizesRoundTrip) {
  RoomFields fields = Fields(7, "odd", kGate | kHidden | kIs3D | kNoSpoof);
  fields.width = 100;
  fields.height = 90;
  fields.max_occupancy = 3;
  RoomRecord room(fields);
  config::Element e = WriteRoomElement(room);
  EXPECT_EQ("yes", *e.Attribute("gate"));
  EXPECT_EQ("yes", *e.Attribute("hidden"));
  EXPECT_EQ(nullptr, e.Attribute("staff"));
  // Flags are written in their fixed order after maxocc.
  std::vector<std::string> names;
  for (const auto& a : e.attributes) names.push_back(a.first);
  EXPECT_EQ((std::vector<std::string>{"id", "name", "maxocc", "gate", "hidden", "nospoof", "is3D",
                                      "width", "height", "desc", "src"}),
            names);
  RoomFields back = ReadRoomElement(e);
  EXPECT_EQ(fields.flags, back.flags);
  EXPECT_EQ(100, back.width);
  EXPECT_EQ(3, back.max_occupancy);
  EXPECT_EQ("odd", back.name);
}

TEST(RoomElementTest, HandEditedElements) {
  config::Element e;
  e.name = "room";
  e.text = "\n  Text Name\n  ";
  e.SetAttribute("id", "12");
  e.SetAttribute("gate", "no");  // presence counts
  e.SetAttribute("bogus", "1");
  RoomFields fields = ReadRoomElement(e);
  EXPECT_EQ("Text Name", fields.name);
  EXPECT_EQ(kGate, fields.flags);
  EXPECT_EQ(16, fields.max_occupancy);
  EXPECT_EQ(512, fields.width);
  e.SetAttribute("name", "Attribute Name");
  EXPECT_EQ("Attribute Name", ReadRoomElement(e).name);
  config::Element no_id;
  EXPECT_EQ(0, ReadRoomElement(no_id).id);
}

TEST(RoomElementTest, LoosePropsRoundTripInBothIdForms) {
  RoomRecord room(Fields(100, "gate"));
  props::PropId a{}, b{};
  a[0] = 1;
  a[19] = 20;
  b[5] = 9;
  room.loose_props = {{a, 10, -20}, {b, 300, 4}};
  config::Element e = WriteRoomElement(room);
  ASSERT_EQ(2u, e.children.size());
  EXPECT_EQ("prop", e.children[0].name);
  EXPECT_EQ("#", e.children[0].Attribute("id")->substr(0, 1));
  std::vector<LooseProp> back = ReadPropChildren(e);
  ASSERT_EQ(2u, back.size());
  EXPECT_EQ(a, back[0].id);
  EXPECT_EQ(-20, back[0].y);
  EXPECT_EQ(b, back[1].id);
  EXPECT_EQ(300, back[1].x);

  // A plain id (no "#") is read as plain words and written back scrambled.
  config::Element plain;
  plain.name = "room";
  config::Element child;
  child.name = "prop";
  child.SetAttribute("id", "04030201080706050C0B0A09100F0E0D14131211");
  child.SetAttribute("horz", "1");
  plain.children.push_back(child);
  child.SetAttribute("id", "not an id");
  plain.children.push_back(child);
  std::vector<LooseProp> read = ReadPropChildren(plain);
  ASSERT_EQ(1u, read.size());
  EXPECT_EQ(1, read[0].id[0]);
  EXPECT_EQ(20, read[0].id[19]);
  RoomRecord again(Fields(5, "x"));
  again.loose_props = read;
  EXPECT_EQ("#349E26B338962EBB309A22B71C922ABF14BE0693",
            *WriteRoomElement(again).children[0].Attribute("id"));
}

// Occupancy without a network: messages to users without a connection are
// dropped, and the room and position changes are what is checked.
class OccupancyTest : public ::testing::Test {
 protected:
  users::UserRecord& NewUser(std::uint16_t group = 1) {
    users::UserRecord& u = users_.Add(std::make_unique<users::UserRecord>());
    u.group = group;
    u.state = users::SignOnState::kSignedOn;
    return u;
  }
  void TearDown() override {
    while (users::UserRecord* u = users_.users().front()) {
      if (u->room != nullptr) Leave(ctx_, *u->room, *u);
      users_.Unlink(*u);
    }
  }
  RoomRegistry rooms_;
  users::UserRegistry users_;
  users::GroupTable groups_;
  props::PropCache cache_;
  RoomContext ctx_{rooms_, users_, groups_, cache_};
};

TEST_F(OccupancyTest, EntryPointsAdvanceAndWrap) {
  ASSERT_EQ(0, rooms_.Append(Fields(100, "gate", kGate)));
  RoomFields small = Fields(200, "small");
  small.width = 100;
  small.height = 100;
  ASSERT_EQ(0, rooms_.Append(small));
  users::UserRecord* placed[3];
  for (auto& p : placed) {
    p = &NewUser();
    RoomRequest(ctx_, *p, 100);
  }
  EXPECT_EQ(44, placed[0]->x);
  EXPECT_EQ(88, placed[1]->x);
  EXPECT_EQ(132, placed[2]->x);
  EXPECT_EQ(132, placed[2]->y);
  EXPECT_EQ(placed[2], rooms_.Find(100)->occupants.front());  // newest first
  RoomRecord* room = rooms_.Find(200);
  users::UserRecord& a = NewUser();
  RoomRequest(ctx_, a, 200);
  EXPECT_EQ(room, a.room);
  EXPECT_EQ(kEntryStart, room->entry_x);  // 88 > 100 - 44 wraps at once
  EXPECT_EQ(kEntryStart, room->entry_y);
}

TEST_F(OccupancyTest, GateRequestFallsBackPastCapacityAndToTheFirstRoom) {
  RoomFields gate = Fields(100, "gate", kGate);
  gate.max_occupancy = 1;
  ASSERT_EQ(0, rooms_.Append(Fields(50, "plain")));
  ASSERT_EQ(0, rooms_.Append(gate));
  users::UserRecord& a = NewUser();
  users::UserRecord& b = NewUser();
  RoomRequest(ctx_, a, kGateRequest);
  RoomRequest(ctx_, b, kGateRequest);
  EXPECT_EQ(100, a.room->id);
  EXPECT_EQ(100, b.room->id);  // past its maximum
  RoomRegistry no_gate;
  ASSERT_EQ(0, no_gate.Append(Fields(60, "first")));
  ASSERT_EQ(0, no_gate.Append(Fields(61, "second")));
  RoomContext ctx{no_gate, users_, groups_, cache_};
  users::UserRecord& c = NewUser();
  RoomRequest(ctx, c, kGateRequest);
  EXPECT_EQ(60, c.room->id);
  Leave(ctx, *c.room, c);
  c.room = nullptr;
}

TEST_F(OccupancyTest, AdmissionRulesInOrder) {
  RoomFields full = Fields(300, "full", kMembers);
  full.max_occupancy = 0;
  ASSERT_EQ(0, rooms_.Append(Fields(100, "gate", kGate)));
  ASSERT_EQ(0, rooms_.Append(full));
  ASSERT_EQ(0, rooms_.Append(Fields(301, "staff", kStaff | kTimeout)));
  users::UserRecord& freeman = NewUser(1);
  RoomRequest(ctx_, freeman, 100);
  EntryRights rights = RightsOf(groups_.Get(1));
  RoomRecord* out = nullptr;
  EXPECT_EQ(-1, Enter(ctx_, freeman, 300, rights, &out));
  EXPECT_EQ(-1, Enter(ctx_, freeman, 301, rights, &out));   // staff only by id
  EXPECT_EQ(kNoSuchRoom, Enter(ctx_, freeman, 999, rights, &out));
  users::UserRecord& lord = NewUser(2);
  RoomRequest(ctx_, lord, 300);
  EXPECT_EQ(300, lord.room->id);  // full and members pass for the Lord
  // A non-staff user sent to the timeout room is admitted.
  RoomRequest(ctx_, freeman, kTimeoutRequest);
  EXPECT_EQ(301, freeman.room->id);
}

TEST_F(OccupancyTest, RefusedRequestKeepsRoomAndPosition) {
  ASSERT_EQ(0, rooms_.Append(Fields(100, "gate", kGate)));
  ASSERT_EQ(0, rooms_.Append(Fields(102, "staff", kStaff)));
  users::UserRecord& u = NewUser(1);
  RoomRequest(ctx_, u, 100);
  u.x = 200;
  u.y = 150;
  RoomRequest(ctx_, u, 102);
  RoomRequest(ctx_, u, 100);  // the room it is in already
  EXPECT_EQ(100, u.room->id);
  EXPECT_EQ(200, u.x);
  EXPECT_EQ(150, u.y);
}

TEST_F(OccupancyTest, PinnedAndTimeoutUsersCannotLeaveByRequest) {
  ASSERT_EQ(0, rooms_.Append(Fields(100, "gate", kGate)));
  ASSERT_EQ(0, rooms_.Append(Fields(101, "timeout", kTimeout | kStaff | kHidden)));
  ASSERT_EQ(0, rooms_.Append(Fields(102, "other")));
  users::UserRecord& pinned = NewUser();
  RoomRequest(ctx_, pinned, 100);
  pinned.flags |= users::kPinned;
  RoomRequest(ctx_, pinned, 102);
  EXPECT_EQ(100, pinned.room->id);
  users::UserRecord& jailed = NewUser();
  jailed.flags |= users::kInTimeout;
  RoomRequest(ctx_, jailed, 102);
  EXPECT_EQ(nullptr, jailed.room);
  RoomRequest(ctx_, jailed, kTimeoutRequest);
  EXPECT_EQ(101, jailed.room->id);
}

TEST_F(OccupancyTest, DeletingARoomMovesEveryOccupantOutEvenRestrictedOnes) {
  ASSERT_EQ(0, rooms_.Append(Fields(100, "gate", kGate)));
  ASSERT_EQ(0, rooms_.Append(Fields(101, "timeout", kTimeout)));
  ASSERT_EQ(0, rooms_.Append(Fields(102, "doomed")));
  users::UserRecord& plain = NewUser();
  users::UserRecord& pinned = NewUser();
  users::UserRecord& jailed = NewUser();
  for (users::UserRecord* u : {&plain, &pinned, &jailed}) RoomRequest(ctx_, *u, 102);
  pinned.flags |= users::kPinned;
  jailed.flags |= users::kInTimeout;
  DeleteRoom(ctx_, *rooms_.Find(102));
  EXPECT_EQ(nullptr, rooms_.Find(102));
  EXPECT_EQ(100, plain.room->id);
  EXPECT_EQ(100, pinned.room->id);
  EXPECT_EQ(101, jailed.room->id);
}

TEST_F(OccupancyTest, DeletingTheOnlyRoomLeavesOccupantsWithoutARoom) {
  ASSERT_EQ(0, rooms_.Append(Fields(100, "only", kMembers)));
  users::UserRecord& lord = NewUser(2);
  RoomRequest(ctx_, lord, 100);
  ASSERT_NE(nullptr, lord.room);
  DeleteRoom(ctx_, *rooms_.Find(100));
  EXPECT_EQ(nullptr, lord.room);
  EXPECT_EQ(0u, rooms_.count());
}

TEST_F(OccupancyTest, PositionRuleClampsAndPins) {
  ASSERT_EQ(0, rooms_.Append(Fields(100, "gate", kGate)));
  users::UserRecord& u = NewUser();
  EXPECT_FALSE(PlaceInRoom(u, 1000, 5));  // no room: taken as it is
  EXPECT_EQ(1000, u.x);
  RoomRequest(ctx_, u, 100);
  EXPECT_TRUE(PlaceInRoom(u, 1000, 5));
  EXPECT_EQ(490, u.x);
  EXPECT_EQ(10, u.y);
  EXPECT_FALSE(PlaceInRoom(u, 200, 300));
  u.flags |= users::kPinned;
  EXPECT_TRUE(PlaceInRoom(u, 200, 300));
  EXPECT_EQ(490, u.x);
  EXPECT_EQ(368, u.y);
}

}  // namespace
}  // namespace zanth::rooms
