#include "maintenance/OrphanCleanup.h"

namespace k5 {

// The clean-up statements, in the order they must run: each sees the rows removed by
// the ones before it. Lines are joined by CR LF, none after the last line.
std::vector<std::string> OrphanCleanupStatements() {
    // clang-format off
    return {
        // 1: Doc_Registry
        "DELETE FROM Doc_Registry WHERE (Time_ID Is null) or (Time_ID = 0) or (Template_Id Is null) or (Template_Id = 0);",
        // 2: Doc_Cell_Values
        "DELETE FROM Doc_Cell_Values WHERE document_id IN \r\n"
        "(SELECT document_id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.document_id as document_id \r\n"
        "                        , (SELECT count(*) FROM Doc_Registry WHERE Document_Id = a.Document_Id) AS Count0 \r\n"
        "             FROM doc_cell_values a) t1 \r\n"
        " WHERE t1.count0 = 0);",
        // 3: DOC_Attachments
        "DELETE FROM DOC_Attachments WHERE DocumentId IN \r\n"
        "(SELECT DocumentId FROM \r\n"
        "            (SELECT \r\n"
        "                          a.DocumentId as DocumentId \r\n"
        "                        , (SELECT count(*) FROM Doc_Registry WHERE Document_Id = a.DocumentId) AS Count0 \r\n"
        "             FROM DOC_Attachments a) t1 \r\n"
        "WHERE t1.count0 = 0);",
        // 4: StoredFiles
        "DELETE FROM StoredFiles WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.Id as Id \r\n"
        "                        , (SELECT count(*) FROM DOC_Attachments WHERE StoredFileId = a.Id) AS Count0 \r\n"
        "             FROM StoredFiles a) t1 \r\n"
        "WHERE t1.count0  = 0);",
        // 5: AccPerson
        "DELETE FROM AccPerson WHERE (PersonId Is null) or (PersonId = 0);",
        // 6: AccStream
        "DELETE FROM AccStream WHERE (PersonId Is null) or (PersonId = 0);",
        // 7: PfrSubDocs
        "DELETE FROM PfrSubDocs WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.Id as Id \r\n"
        "                        , a.DocumentId as DocumentId \r\n"
        "                        , (SELECT count(*) FROM Doc_Registry WHERE Document_Id = a.DocumentId) AS Count0 \r\n"
        "             FROM PfrSubDocs a) t1 \r\n"
        " WHERE t1.count0 = 0);",
        // 8: PfrCellValues
        "DELETE FROM PfrCellValues WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.Id as Id \r\n"
        "                        , a.SubDocId as SubDocId \r\n"
        "                        , (SELECT count(*) FROM PfrSubDocs WHERE Id = a.SubDocId) AS Count0 \r\n"
        "             FROM PfrCellValues a) t1 \r\n"
        " WHERE t1.count0 = 0);",
        // 9: PfrErrors
        "DELETE FROM PfrErrors WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.Id as Id \r\n"
        "                        , a.SubDocId as SubDocId \r\n"
        "                        , (SELECT count(*) FROM PfrSubDocs WHERE Id = a.SubDocId) AS Count0 \r\n"
        "             FROM PfrErrors a) t1 \r\n"
        "WHERE t1.count0 = 0);",
        // 10: FssDocCircles
        "DELETE FROM FssDocCircles WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.Id as Id \r\n"
        "                        , a.DocumentId as DocumentId \r\n"
        "                        , (SELECT count(*) FROM Doc_Registry WHERE Document_Id = a.DocumentId) AS Count0 \r\n"
        "             FROM FssDocCircles a) t1 \r\n"
        " WHERE t1.count0 = 0);",
        // 11: CourBlobs
        "DELETE FROM CourBlobs WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.Id as Id \r\n"
        "                        , (SELECT count(*) FROM \r\n"
        "                                   (SELECT DocText_BlobID      as CourBlobsId, 'FssDocCircles'  FROM FssDocCircles \r\n"
        "                                    Union \r\n"
        "                                    SELECT LastHtml_BlobID     as CourBlobsId, 'FssDocCircles'  FROM FssDocCircles \r\n"
        "                                    Union \r\n"
        "                                    SELECT Ticket_BlobID       as CourBlobsId, 'FssDocCircles'  FROM FssDocCircles \r\n"
        "                                    Union \r\n"
        "                                    SELECT FileContent_ID      as CourBlobsId, 'Doc_Registry'   FROM Doc_Registry \r\n"
        "                                    Union \r\n"
        "                                    SELECT MimeContent_Blob_ID as CourBlobsId, 'CourMessages'   FROM CourMessages \r\n"
        "                                    Union \r\n"
        "                                    SELECT ContentBlob_ID      as CourBlobsId, 'CourMsgParts'   FROM CourMsgParts \r\n"
        "                                    Union \r\n"
        "                                    SELECT PublicKey_Blob_ID   as CourBlobsId, 'CourSignatures' FROM CourSignatures \r\n"
        "                                    Union \r\n"
        "                                    SELECT Signature_Blob_ID   as CourBlobsId, 'CourSignatures' FROM CourSignatures \r\n"
        "                                    Union \r\n"
        "                                    SELECT Content_Blob_ID     as CourBlobsId, 'CourCertLinks'  FROM CourCertLinks ) \r\n"
        "                                 WHERE CourBlobsId = a.Id) AS Count0 \r\n"
        "             FROM CourBlobs a) t1 \r\n"
        " WHERE t1.Count0 = 0);",
        // 12: PfrPersons
        "DELETE FROM PfrPersons WHERE Id IN \r\n"
        " (SELECT Id FROM \r\n"
        "             (SELECT \r\n"
        "                           a.Id as Id \r\n"
        "                         , (SELECT count(*) FROM AccStream WHERE PersonId = a.Person_Id) AS Count0 \r\n"
        "              FROM PfrPersons a) t1 \r\n"
        "  WHERE t1.count0 = 0);",
        // 13: Person
        "DELETE FROM Person WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                      a.Id as Id \r\n"
        "                        , (SELECT count(*) \r\n"
        "                              FROM \r\n"
        "                                 (SELECT JobPlaceId     as PersonId0 FROM Personnel  WHERE JobPlaceId     > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT WorkerId       as PersonId0 FROM Personnel  WHERE WorkerId       > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT PersonId       as PersonId0 FROM AccPerson  WHERE PersonId       > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT PersonId       as PersonId0 FROM AccStream  WHERE PersonId       > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT ParentPersonID as PersonId0 FROM Branches   WHERE ParentPersonID > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT ChildPersonID  as PersonId0 FROM Branches   WHERE ChildPersonID  > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT Person_ID      as PersonId0 FROM PfrPersons WHERE Person_ID      > 0 \r\n"
        "                                  ) \r\n"
        "                               WHERE PersonId0 = a.Id \r\n"
        "                          ) AS Count0 \r\n"
        "             FROM Person a \r\n"
        "            ) t1 \r\n"
        "WHERE t1.Count0 = 0); ",
        // 14: NaturalPerson
        "DELETE FROM NaturalPerson WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                      a.Id as Id \r\n"
        "                        , (SELECT count(*) \r\n"
        "                              FROM \r\n"
        "                                 (SELECT PersonRealId as PersonRealId0, 'Person.PersonRealId' FROM Person WHERE Type=1 AND PersonRealId > 0 ) \r\n"
        "                               WHERE PersonRealId0 = a.Id \r\n"
        "                          ) AS Count0 \r\n"
        "             FROM NaturalPerson a \r\n"
        "            ) t1 \r\n"
        "WHERE t1.Count0 = 0);",
        // 15: Warrants
        "DELETE FROM Warrants WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.Id as Id \r\n"
        "                        , (SELECT count(*) FROM Personnel WHERE Id = a.WorkerId) AS Count0 \r\n"
        "             FROM Warrants a) t1 \r\n"
        "WHERE t1.count0  = 0);",
        // 16: WarPowers
        "DELETE FROM WarPowers WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.Id as Id \r\n"
        "                        , (SELECT count(*) FROM Warrants WHERE Id = a.Warrant_Id) AS Count0 \r\n"
        "             FROM WarPowers a) t1 \r\n"
        "WHERE t1.count0  = 0);",
        // 17: WarPermissions
        "DELETE FROM WarPermissions WHERE WarPower_Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.WarPower_Id as Id \r\n"
        "                        , (SELECT count(*) FROM WarPowers WHERE ID = a.WarPower_Id) AS Count0 \r\n"
        "             FROM WarPermissions a) t1 \r\n"
        "WHERE t1.count0  = 0);",
        // 18: WarSubjects
        "DELETE FROM WarSubjects WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                      a.Id as Id \r\n"
        "                        , (SELECT count(*) \r\n"
        "                              From \r\n"
        "                                 (SELECT Origin_SubjectID      as SubjectID, 'Warrants.Origin_SubjectID    ' FROM Warrants WHERE Origin_SubjectID     > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT LPrincipal_SubjectID  as SubjectID, 'Warrants.LPrincipal_SubjectID' FROM Warrants WHERE LPrincipal_SubjectID > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT NPrincipal_SubjectID  as SubjectID, 'Warrants.NPrincipal_SubjectID' FROM Warrants WHERE NPrincipal_SubjectID > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT LAgent_SubjectID      as SubjectID, 'Warrants.LAgent_SubjectID    ' FROM Warrants WHERE LAgent_SubjectID     > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT NAgent_SubjectID      as SubjectID, 'Warrants.NAgent_SubjectID    ' FROM Warrants WHERE NAgent_SubjectID     > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT LWitness_SubjectID    as SubjectID, 'Warrants.LWitness_SubjectID  ' FROM Warrants WHERE LWitness_SubjectID   > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT NWitness_SubjectID    as SubjectID, 'Warrants.NWitness_SubjectID  ' FROM Warrants WHERE NWitness_SubjectID   > 0 \r\n"
        "                                  ) \r\n"
        "                               Where SubjectID = a.Id \r\n"
        "                          ) AS Count0 \r\n"
        "             FROM WarSubjects a \r\n"
        "            ) t1 \r\n"
        "WHERE t1.Count0 = 0);",
        // 19: TempCertificateId
        "CREATE TABLE TempCertificateId (Id LONG);",
        // 20: TempCertificateId_I_Id
        "CREATE INDEX TempCertificateId_I_Id ON TempCertificateId (Id);",
        // 21: TempCertificateId
        "INSERT INTO TempCertificateId (Id) SELECT CertificateId \r\n"
        "                              FROM \r\n"
        "                                 (SELECT IdentityDocId         as CertificateId FROM NaturalPerson WHERE IdentityDocId > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT AccountantDocId       as CertificateId FROM NaturalPerson WHERE AccountantDocId > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT PboulRegCertificateID as CertificateId FROM NaturalPerson WHERE PboulRegCertificateID > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT InnRegCertificateID   as CertificateId FROM LegalPerson   WHERE InnRegCertificateID > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT AuthorityDocID        as CertificateId FROM Personnel     WHERE AuthorityDocID > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT PassportID            as CertificateId FROM PfrPersons    WHERE PassportID > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT PassportID            as CertificateId FROM WarSubjects   WHERE PassportID > 0 \r\n"
        "                                  );",
        // 22: Certificate
        "DELETE FROM Certificate WHERE Id IN ( \r\n"
        " SELECT Certificate.Id \r\n"
        " From Certificate \r\n"
        " Left JOIN TempCertificateId ON Certificate.Id = TempCertificateId.Id \r\n"
        " WHERE TempCertificateId.Id IS Null);",
        // 23: TempCertificateId
        "DROP TABLE TempCertificateId;",
        // 24: Address
        "DELETE FROM Address WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                      a.Id as Id \r\n"
        "                        , (SELECT count(*) \r\n"
        "                              FROM \r\n"
        "                                 (SELECT HomeAddressId   as AddressId0, 'NaturalPerson' FROM NaturalPerson WHERE HomeAddressId > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT AbroadAddressId as AddressId0, 'NaturalPerson' FROM NaturalPerson WHERE AbroadAddressId > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT RegAddressID    as AddressId0, 'LegalPerson'   FROM LegalPerson   WHERE RegAddressID > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT CtrlAddressId   as AddressId0, 'LegalPerson'   FROM LegalPerson   WHERE CtrlAddressId > 0 \r\n"
        "                                  Union \r\n"
        "                                  SELECT AddressId       as AddressId0, 'WarSubjects'   FROM WarSubjects   WHERE AddressId > 0 \r\n"
        "                                  ) \r\n"
        "                               WHERE AddressId0 = a.Id \r\n"
        "                          ) AS Count0 \r\n"
        "             FROM Address a \r\n"
        "            ) t1 \r\n"
        "WHERE t1.Count0 = 0); ",
        // 25: TempPfrAddressId
        "CREATE TABLE TempPfrAddressId (Id LONG);",
        // 26: TempPfrAddressId_I_Id
        "CREATE INDEX TempPfrAddressId_I_Id ON TempPfrAddressId (Id);",
        // 27: TempPfrAddressId
        "INSERT INTO TempPfrAddressId (Id) SELECT AddressID0 \r\n"
        "                              FROM \r\n"
        "                                 (SELECT RegAddressID     as AddressID0 FROM PfrPersons WHERE RegAddressID > 0 \r\n"
        "                                  UNION \r\n"
        "                                  SELECT ActualAddressID  as AddressID0 FROM PfrPersons WHERE ActualAddressID > 0 \r\n"
        "                                  );",
        // 28: PfrAddress
        "DELETE FROM PfrAddress WHERE Id IN ( \r\n"
        " SELECT PfrAddress.Id \r\n"
        " From PfrAddress \r\n"
        " Left JOIN TempPfrAddressId ON PfrAddress.Id = TempPfrAddressId.Id \r\n"
        " WHERE TempPfrAddressId.Id IS Null);",
        // 29: TempPfrAddressId
        "DROP TABLE TempPfrAddressId;",
        // 30: TextBlobs
        "DELETE FROM TextBlobs WHERE Id IN \r\n"
        "(SELECT Id FROM \r\n"
        "            (SELECT \r\n"
        "                          a.Id as Id \r\n"
        "                        , (SELECT count(*) FROM AccStream WHERE Id = a.AccStreamId) AS Count0 \r\n"
        "             FROM TextBlobs a) t1 \r\n"
        "WHERE t1.count0  = 0);",
        // 31: PermBlocks
        "DELETE FROM PermBlocks WHERE Id IN \r\n"
        "    (SELECT Id FROM \r\n"
        "       (SELECT Tpb.ID AS Id, \r\n"
        "               ( SELECT count(*) FROM AccStream as Tas WHERE Tas.Id = Tpb.PermObjectID ) as Count0 \r\n"
        "        FROM PermBlocks as Tpb \r\n"
        "        WHERE (Tpb.BlockType = 5) and (Tpb.PermObjectID > 0)) t1 \r\n"
        "     WHERE t1.count0 = 0);",
        // 32: PermObjectLists
        "DELETE FROM PermObjectLists \r\n"
        "WHERE PermObjectLists.BlockID IN ( \r\n"
        "                                   SELECT ID FROM PermBlocks \r\n"
        "                                             WHERE PermBlocks.ID = PermObjectLists.BlockID and \r\n"
        "                                                   PermBlocks.BlockType = 5 \r\n"
        "                                 ) \r\n"
        "      AND \r\n"
        "      NOT ( \r\n"
        "            PermObjectLists.PermObjectID IN ( \r\n"
        "                                              SELECT ID FROM AccStream \r\n"
        "                                                        WHERE AccStream.ID = PermObjectLists.PermObjectID \r\n"
        "                                            ) \r\n"
        "          );",
        // 33: PermBlocks
        "DELETE FROM PermBlocks \r\n"
        "       WHERE (PermBlocks.BlockType = 5 And PermBlocks.AreaType = 2) \r\n"
        "             AND \r\n"
        "         NOT (PermBlocks.ID IN ( SELECT BlockID FROM PermObjectLists \r\n"
        "                                                WHERE PermObjectLists.BlockID = PermBlocks.ID ));",
    };
    // clang-format on
}

} // namespace k5
